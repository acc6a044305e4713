#include "updater/firmware/BirdFile.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "updater/store/path.h"
#include "updater/cli/Log.h"

namespace {

constexpr uint32_t kLog = Log::DEBUG_BirdFile;

uint32_t GetInt(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint16_t GetShort(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t getLittle(const uint8_t* p) {
  return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void putLittle(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The smallest data length a block of each type needs for its layout.
uint32_t minimumLength(uint8_t type) {
  switch (type) {
    case BirdFile::BLOCK_TYPE_LOADER:
    case BirdFile::BLOCK_TYPE_FIRMWARE: return 4;
    case BirdFile::BLOCK_TYPE_SERIAL_OFFSETS: return 8;
    case BirdFile::BLOCK_TYPE_IDENTITY: return BirdFile::IDENTITY_SIZE;
    default: return 0;  // a short loader-entry block is simply not used
  }
}

// Text of one 16-byte identity field, stopped at a NUL and at `limit` characters.
std::string identityField(const BirdBlock& identity, size_t offset, size_t limit) {
  const char* field = reinterpret_cast<const char*>(identity.data + offset);
  return std::string(field, strnlen(field, limit));
}

// Does a firmware image cover `count` bytes at device address `at`? Computed in 64 bits
// so that no address near the top of the 32-bit range wraps into the image.
bool covers(const BirdBlock& block, uint32_t at, uint32_t count, uint32_t* offset) {
  if (block.length < 4) return false;
  const uint64_t start = block.address;
  const uint64_t end = start + block.length - 4;
  if (at < start || static_cast<uint64_t>(at) + count > end) return false;
  *offset = 4 + (at - block.address);
  return true;
}

}  // namespace

constexpr char BirdFile::BIRD_FILE_SIGNATURE[4];

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* filePath) : path(filePath != nullptr ? filePath : "") {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

bool BirdFile::Load() {
  Log::log(kLog, "BIRDFILE: Loading File [%s]\n", path.c_str());
  std::string contents;
  int error = 0;
  // Only a regular file: a FIFO or a device given as a BIRD file must not block the run.
  const aErr e = ReadRegularFile(path, contents, MAX_PAYLOAD_SIZE, &error);
  switch (e) {
    case aErrNone: break;
    case aErrNotFound:
      Log::log(kLog, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
      return false;
    case aErrMode:
      Log::log(kLog, "BIRDFILE: Error - not a regular file: '%s'\n", path.c_str());
      return false;
    case aErrOverrun:
      Log::log(kLog, "BIRDFILE: Error - bird file %s is larger than %u bytes\n", path.c_str(), MAX_PAYLOAD_SIZE);
      return false;
    default:
      Log::log(kLog, "BIRDFILE: Error (%d) reading %s\n", error, path.c_str());
      return false;
  }
  return LoadData(reinterpret_cast<const uint8_t*>(contents.data()), contents.size());
}

bool BirdFile::LoadData(const uint8_t* bytes, uint64_t size) {
  bool result = false;
  if (size > 6) {
    signature = GetInt(bytes);
    version = GetShort(bytes + 4);
  }
  const uint64_t bodyLength = size > 6 ? size - 6 : 0;
  try {
    if (DecompressData(bytes + (size > 6 ? 6 : size), bodyLength)) {
      // A count mismatch is only logged; a block that does not fit its payload or
      // its type's layout refuses the file.
      ScanBlocks(data.get(), dataSize);
      result = !malformed;
      if (result) FindSerialNumberOffsets();
    }
  } catch (const std::bad_alloc&) {
    Log::log(kLog, "BIRDFILE: Error - out of memory loading %s\n", path.c_str());
    result = false;
  }
  if (firstBlock(BLOCK_TYPE_SERIAL_OFFSETS) != nullptr) hasSerialOffsets = true;
  return result;
}

bool BirdFile::VerifyHeader(const uint8_t* bytes, uint64_t size) {
  return bytes != nullptr && size >= 6 && std::memcmp(bytes, BIRD_FILE_SIGNATURE, 4) == 0 && bytes[4] != 0 &&
         bytes[5] != 0;
}

bool BirdFile::VerifyData(const uint8_t* bytes, uint64_t size) {
  if (!VerifyHeader(bytes, size)) {
    Log::log(kLog, "BIRDFILE: Error - %llu bytes without a BIRD header\n", static_cast<unsigned long long>(size));
    return false;
  }
  if (size > MAX_PAYLOAD_SIZE) {
    Log::log(kLog, "BIRDFILE: Error - %llu bytes are more than a BIRD file may hold\n",
             static_cast<unsigned long long>(size));
    return false;
  }
  BirdFile trial;
  trial.path = "(received bytes)";
  return trial.LoadData(bytes, size);
}

bool BirdFile::DecompressData(const uint8_t* body, uint64_t length) {
  data.reset();
  dataSize = 0;
  if (length > MAX_PAYLOAD_SIZE) {
    Log::log(kLog, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_BUF_ERROR);
    return false;
  }
  // A growing buffer with a hard cap rather than a fixed multiple of the compressed
  // size: firmware images with long runs compress far better than eight to one.
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  int r = inflateInit(&stream);
  if (r != Z_OK) {
    Log::log(kLog, "BIRDFILE: Error (%d) decompressing bird file.\n", r);
    return false;
  }
  std::vector<uint8_t> out;
  size_t capacity = length * 4 < 4096 ? 4096 : static_cast<size_t>(length * 4);
  if (capacity > MAX_PAYLOAD_SIZE) capacity = MAX_PAYLOAD_SIZE;
  out.resize(capacity);
  stream.next_in = const_cast<Bytef*>(body);
  stream.avail_in = static_cast<uInt>(length);
  for (;;) {
    if (stream.total_out == out.size()) {
      if (out.size() >= MAX_PAYLOAD_SIZE) {
        Log::log(kLog, "BIRDFILE: Error - bird payload exceeds %u bytes\n", MAX_PAYLOAD_SIZE);
        r = Z_BUF_ERROR;
        break;
      }
      out.resize(out.size() * 2 > MAX_PAYLOAD_SIZE ? MAX_PAYLOAD_SIZE : out.size() * 2);
    }
    stream.next_out = out.data() + stream.total_out;
    stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
    r = inflate(&stream, Z_NO_FLUSH);
    if (r == Z_STREAM_END) break;
    if (r == Z_OK) continue;
    if (r == Z_BUF_ERROR && stream.avail_out == 0) continue;
    // Z_BUF_ERROR with room to spare: the body ended before the stream did.
    break;
  }
  const uLong produced = stream.total_out;
  inflateEnd(&stream);
  if (r != Z_STREAM_END) {
    Log::log(kLog, "BIRDFILE: Error (%d) decompressing bird file.\n", r);
    return false;
  }
  data.reset(new uint8_t[produced > 0 ? produced : 1]);
  if (produced > 0) std::memcpy(data.get(), out.data(), produced);
  dataSize = static_cast<uint32_t>(produced);
  return true;
}

bool BirdFile::ScanBlocks(const uint8_t* payload, uint32_t size) {
  blockCount = 0;
  blocks.clear();
  malformed = false;
  if (payload == nullptr || size < 8) {
    Log::log(kLog, "BIRDFILE: Error - payload of %u bytes holds no block count and checksum\n", size);
    malformed = true;
    return false;
  }
  const uint32_t reported = GetInt(payload);
  Log::log(kLog, "BIRDFILE:\t\t File reports %d blocks\n", reported);
  Log::log(kLog, "BIRDFILE: Bird file objects:\n");
  Log::log(kLog, "BIRDFILE: \t\tType Flags Length\n");

  uint32_t cursor = 4;
  uint32_t remaining = size - 4;
  while (remaining > 4) {
    // The header lies inside the payload here; its data has to as well.
    const uint8_t header = payload[cursor];
    const uint32_t length = GetInt(payload + cursor + 1);
    if (length > remaining - 5) {
      Log::log(kLog, "BIRDFILE: Error - block %u of %u bytes overruns the payload (%u bytes left)\n", blockCount,
               length, remaining - 5);
      malformed = true;
      return false;
    }
    BirdBlock block;
    block.type = header & BIRD_FILE_TYPE_MASK;
    block.flags = static_cast<uint8_t>((header & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = length;
    block.data = payload + cursor + 5;
    if (length < minimumLength(block.type)) {
      Log::log(kLog, "BIRDFILE: Error - block %u of type %02X holds %u bytes, too short for its type\n", blockCount,
               block.type, length);
      malformed = true;
      return false;
    }
    if (block.type == BLOCK_TYPE_LOADER || block.type == BLOCK_TYPE_FIRMWARE) block.address = GetInt(block.data);
    Log::log(kLog, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, block.length);
    if (block.type == BLOCK_TYPE_IDENTITY) {
      for (int field = 0; field < 4; field++)
        Log::log(kLog, "BIRDFILE:\t\t \t[%16.16s]\n", reinterpret_cast<const char*>(block.data + 16 * field));
    }
    cursor += 5 + length;
    remaining -= 5 + length;
    blockCount++;
    blocks.push_back(block);
  }

  if (remaining < 4) {
    // The last block reached into the checksum word: it cannot be read.
    Log::log(kLog, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(remaining) - 4);
    malformed = true;
    return false;
  }
  fileChecksum = GetInt(payload + cursor);
  Log::log(kLog, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum);
  remaining -= 4;

  bool result = true;
  if (remaining != 0) {
    Log::log(kLog, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n", remaining);
    result = false;
  }
  if (blockCount != reported) {
    Log::log(kLog, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n", blockCount, reported);
    result = false;
  }
  return result;
}

const BirdBlock* BirdFile::firstBlock(uint8_t type) const {
  for (const BirdBlock& block : blocks)
    if (block.type == type) return &block;
  return nullptr;
}

uint8_t* BirdFile::writable(const BirdBlock& block) const {
  // Blocks handed in by ScanBlocks on a foreign buffer are never written through.
  if (data == nullptr || block.data < data.get() || block.data + block.length > data.get() + dataSize) return nullptr;
  return data.get() + (block.data - data.get());
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks)
    if (block.type == type) found.push_back(block);
  return found;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  const BirdBlock* offsets = firstBlock(BLOCK_TYPE_SERIAL_OFFSETS);
  if (offsets == nullptr || offsets->length < 8) return false;
  serialOffset = GetInt(offsets->data);
  descriptorOffset = GetInt(offsets->data + 4);
  Log::log(kLog, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", serialOffset, descriptorOffset);
  return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08X", serial);
  bool result = false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_TYPE_FIRMWARE) continue;
    uint8_t* bytes = writable(block);
    uint32_t offset = 0;
    if (serialOffset != 0) {
      if (bytes != nullptr && covers(block, serialOffset, 4, &offset)) {
        Log::log(kLog, "BIRDFILE: updating serial number from %08X ==> %08X\n", getLittle(bytes + offset), serial);
        putLittle(bytes + offset, serial);
      }
      result = true;
    }
    if (descriptorOffset != 0 && bytes != nullptr && covers(block, descriptorOffset, 16, &offset)) {
      // The low bytes of eight UTF-16LE code units; the high bytes stay as they are.
      for (int i = 0; i < 8; i++) bytes[offset + 2 * i] = static_cast<uint8_t>(hex[i]);
      result = true;
    }
  }
  return result;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
  uint8_t k[16];
  for (int i = 0; i < 4; i++) {
    k[4 * i] = static_cast<uint8_t>(key[i] >> 24);
    k[4 * i + 1] = static_cast<uint8_t>(key[i] >> 16);
    k[4 * i + 2] = static_cast<uint8_t>(key[i] >> 8);
    k[4 * i + 3] = static_cast<uint8_t>(key[i]);
  }
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_TYPE_FIRMWARE || block.length < 4) continue;
    uint8_t* bytes = writable(block);
    if (bytes == nullptr) continue;
    uint8_t prev = 0;
    for (uint32_t i = 0; i < block.length - 4; i++) {
      const uint8_t decoded = static_cast<uint8_t>(bytes[4 + i] ^ k[i % 16] ^ prev);
      bytes[4 + i] = decoded;
      prev = decoded;
    }
  }
  return true;
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

bool BirdFile::ValidateModel(const char* model) const {
  const BirdBlock* identity = firstBlock(BLOCK_TYPE_IDENTITY);
  if (identity == nullptr || model == nullptr) return false;
  std::string field = identityField(*identity, 48, 16);
  while (!field.empty() && field.back() == ' ') field.pop_back();
  const size_t length = std::strlen(model);
  if (length > field.size() || field.compare(0, length, model) != 0) return false;
  Log::log(kLog, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
  return true;
}

uint32_t BirdFile::GetSerialNumber() const {
  const BirdBlock* identity = firstBlock(BLOCK_TYPE_IDENTITY);
  if (identity == nullptr) return 0;
  return static_cast<uint32_t>(std::strtoul(identityField(*identity, 32, 8).c_str(), nullptr, 16));
}

uint32_t BirdFile::GetBuild() const {
  const BirdBlock* identity = firstBlock(BLOCK_TYPE_IDENTITY);
  if (identity == nullptr) return 0;
  const std::string text = identityField(*identity, 0, 15);
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) i++;
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++)
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  return value;
}

std::string BirdFile::GetVersion() const {
  const BirdBlock* identity = firstBlock(BLOCK_TYPE_IDENTITY);
  if (identity == nullptr) return std::string();
  std::string text = identityField(*identity, 16, 15);
  const size_t blank = text.find(' ');
  if (blank != std::string::npos) text.resize(blank);
  return text;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (const BirdBlock& block : blocks) {
    // The vector table needs eight words of image.
    if (block.type != BLOCK_TYPE_FIRMWARE || block.address != 0 || block.length < 4 + 32) continue;
    uint8_t* bytes = writable(block);
    if (bytes == nullptr) continue;
    uint8_t* image = bytes + 4;
    uint32_t sum = 0;
    for (int w : {0, 1, 2, 3, 4, 6}) sum += getLittle(image + 4 * w);
    const uint32_t checksum = 0u - sum;
    Log::log(kLog, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", getLittle(image + 28), checksum);
    putLittle(image + 28, checksum);
  }
  return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t count) const {
  Log::log(kLog, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool result = false;
  if (pattern != nullptr && count > 0) {
    for (const BirdBlock& block : blocks) {
      if (block.type != BLOCK_TYPE_FIRMWARE || block.length < count) continue;
      for (uint32_t i = 0; i + count <= block.length; i++) {
        if (std::memcmp(block.data + i, pattern, count) == 0) {
          Log::log(kLog, "Found data at %d\n", i);
          result = true;
        }
      }
    }
  }
  Log::log(kLog, "\n");
  return result;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  for (const BirdBlock& block : blocks) {
    if (block.type != type) continue;
    std::string text;
    for (uint32_t i = 0; i < block.length; i++) {
      if (i % 50 == 0) {
        std::printf(" %s\r\n%06d: ", text.c_str(), i);
        text.clear();
      }
      const uint8_t byte = block.data[i];
      std::printf("%02X ", byte);
      text += std::isprint(byte) ? static_cast<char>(byte) : ' ';
    }
    std::printf(" %s\n", text.c_str());
  }
  std::printf("\n");
  return true;
}

bool BirdFile::VerifyFile(const char* filePath) {
  aErr e = aErrNone;
  const int fd = OpenRegularFile(filePath != nullptr ? filePath : "", &e);
  if (fd < 0) {
    Log::log(kLog, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath != nullptr ? filePath : "");
    return false;
  }
  uint8_t header[6];
  size_t count = 0;
  while (count < sizeof header) {
    const ssize_t n = ::read(fd, header + count, sizeof header - count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    count += static_cast<size_t>(n);
  }
  ::close(fd);
  return VerifyHeader(header, count);
}
