#pragma once
// A BIRD firmware file: a six-byte header ("bird", format version) and one zlib stream
// whose payload is a list of typed blocks (loader and firmware images, serial-number
// patch addresses, an identity record, the loader's entry address) and a checksum word.
// The updater only reads these files; changes (serial-number patch, fingerprint
// decoding) are made to the payload in memory.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One parsed block: a view into the payload of the BirdFile it came from, valid only
// while that file lives.
struct BirdBlock {
  uint8_t type = 0;      // bits 0-4 of the header byte
  uint8_t flags = 0;     // bits 5-7 of the header byte, shifted down
  uint32_t length = 0;   // data length
  uint32_t address = 0;  // load address for loader and firmware blocks, else 0
  const uint8_t* data = nullptr;
};

class BirdFile {
public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_TYPE_LOADER = 0,
    BLOCK_TYPE_FIRMWARE = 1,
    BLOCK_TYPE_SERIAL_OFFSETS = 2,
    BLOCK_TYPE_IDENTITY = 4,
    BLOCK_TYPE_LOADER_ENTRY = 5,
  };

  static constexpr char BIRD_FILE_SIGNATURE[4] = {'b', 'i', 'r', 'd'};
  static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

  // Neither a file nor its payload may exceed this: decompression grows its buffer up
  // to it and refuses anything larger.
  static constexpr uint32_t MAX_PAYLOAD_SIZE = 64u * 1024u * 1024u;
  static constexpr size_t IDENTITY_SIZE = 64;

  BirdFile();
  // Loads the file; throws std::runtime_error "Failed to load bird data" when it cannot.
  explicit BirdFile(const char* path);
  BirdFile(BirdFile&&) = default;
  BirdFile& operator=(BirdFile&&) = default;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  bool Load();
  // The header test a stored file has to pass: "bird" and a format version whose two
  // bytes are both non-zero.
  static bool VerifyFile(const char* path);
  static bool VerifyHeader(const uint8_t* bytes, uint64_t size);
  // Bytes that would be stored as a BIRD file: the header test, then the whole body
  // decompressed and its blocks parsed, exactly as loading the stored file would.
  static bool VerifyData(const uint8_t* bytes, uint64_t size);

  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
  bool FindSerialNumberOffsets();
  bool ReplaceSerialNumber(uint32_t serial);
  bool DecodeFirmwareBlocks(const uint32_t key[4]);
  bool ValidateSerialNumber(uint32_t serial) const;
  bool ValidateModel(const char* model) const;
  uint32_t GetSerialNumber() const;
  uint32_t GetBuild() const;
  std::string GetVersion() const;

  bool ReplaceVectorChecksum();
  bool ValidateData(const uint8_t* pattern, uint32_t count) const;
  bool DumpBlocks(BLOCK_TYPE type) const;

  bool ScanBlocks(const uint8_t* payload, uint32_t size);
  // Load's steps after the file is read: header fields, decompression, blocks.
  bool LoadData(const uint8_t* bytes, uint64_t size);
  bool DecompressData(const uint8_t* body, uint64_t length);

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t fileChecksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool hasSerialOffsets = false;
  uint32_t serialOffset = 0;
  uint32_t descriptorOffset = 0;
  std::unique_ptr<uint8_t[]> data;
  uint32_t dataSize = 0;

private:
  // Set by ScanBlocks when a block overruns the payload or is too short for its type,
  // or the payload has no room for its count and checksum: Load refuses such a file.
  bool malformed = false;

  const BirdBlock* firstBlock(uint8_t type) const;
  uint8_t* writable(const BirdBlock& block) const;
};
