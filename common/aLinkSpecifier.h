#pragma once
// linkSpec: how to reach one device. Discovery fills it, link creation consumes it,
// and link servers send its 128 bytes as the payload of their discovery replies.
#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

typedef int32_t linkType;
constexpr linkType kLinkTypeNone = 0;
constexpr linkType kLinkTypeUSB = 1;           // found by serial number
constexpr linkType kLinkTypeTCPIP = 2;
constexpr linkType kLinkTypeSerial = 3;        // COBS-framed serial line
constexpr linkType kLinkTypeQuivel = 4;        // client link to a link server
constexpr linkType kLinkTypeQuivelUSB = 5;     // link server serving a USB device link
constexpr linkType kLinkTypeQuivelTCPIP = 6;   // link server serving a TCP/IP device link
constexpr linkType kLinkTypeQuivelSerial = 7;  // link server serving a serial device link

#define aLINKSPEC_SIZE 128
#define aLINKSPEC_PORT_NAME_SIZE 100

struct linkSpec {
  linkType type;
  uint32_t serialNumber;
  uint32_t module;              // 8-bit module address
  uint32_t router;              // 8-bit router address, 0 when none
  uint32_t routerSerialNumber;
  uint32_t model;               // 8-bit model number
  union {
    struct {
      uint32_t serialNumber;    // the serial number again
      // Where discovery found the device on this machine's bus (bus 0: not known), so
      // that opening it needs no second walk of the bus. Not part of the wire form.
      uint8_t bus;
      uint8_t address;
    } usb;
    struct {
      uint32_t address;         // IPv4, network byte order
      uint32_t port;            // TCP port
    } ip;                       // TCP/IP and the link-server kinds
    struct {
      uint32_t baudRate;
      char portName[aLINKSPEC_PORT_NAME_SIZE];
    } serial;
    uint8_t bytes[104];
  } t;
};

static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE, "linkSpec is 128 bytes on the wire and in memory");
static_assert(offsetof(linkSpec, t) == 24, "the transport union starts at byte 24");

// New zeroed spec of that type, or null when no memory is left.
linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// aErrParam for a null spec; otherwise frees it and clears the pointer.
aErr aLinkSpec_Destroy(linkSpec** spec);

// The 128-byte wire form: words little-endian at fixed offsets, the IPv4 address of
// the network forms kept in network byte order. Independent of the host's layout.
void aLinkSpec_Serialize(const linkSpec* spec, uint8_t out[aLINKSPEC_SIZE]);
void aLinkSpec_Deserialize(const uint8_t in[aLINKSPEC_SIZE], linkSpec* spec);
