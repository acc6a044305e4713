#pragma once
// An IPv4 UDP multicast socket that either sends to one group and port or receives from
// it, always through one local interface. Link servers and their clients find each
// other on the same machine with these (group 224.0.0.7 on 127.0.0.1).
//
// Making a receiver is also a probe: a receiver cannot be made on a port that another
// receiver of the machine holds, and discovery reads that failure as "a link server
// listens on this port". Reply ports are different: several discoveries may listen on
// one at once, so their receivers are made shared.
//
// A record is used by one thread at a time. Nothing here prints.
#include <cstdint>

struct aMulticast;

// interfaceAddress and group: IPv4 in network byte order (0 and 127.0.0.1 both mean
// 127.0.0.1); port in host order; isSender 1 for a sender, 0 for a receiver. A receiver
// binds to the group address, never to the wildcard: unicast datagrams sent to its port
// from anywhere are not taken. Null on any failure, leaving nothing open.
aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port, uint8_t isSender);
// A receiver that other shared receivers may hold on the same port at the same time
// (each gets its own copy of every datagram). It still cannot be made on a port that an
// exclusive receiver holds, nor can an exclusive one be made beside it.
aMulticast* aMulticast_CreateSharedReceiver(uint32_t interfaceAddress, uint32_t group, uint16_t port);

// One datagram to the group and port. Bytes sent; -1 send error; -2 null record; -3 the
// record is a receiver.
int64_t aMulticast_Send(aMulticast* multicast, const void* data, uint32_t length);
// One datagram of at most size bytes, waiting at most 1 second. Bytes received; -1 time-out,
// receive error, or a datagram longer than size (it is consumed, never cut to fit);
// -2 null record; -3 the record is a sender.
int64_t aMulticast_Receive(aMulticast* multicast, void* buffer, int32_t size);
// The socket's descriptor, for a caller that waits on it together with other things
// (the link server's responder); -1 when there is no record.
int aMulticast_Descriptor(const aMulticast* multicast);
// 0 with the pointer cleared; -2 when there is no record.
int32_t aMulticast_Destroy(aMulticast** multicast);

#define aMULTICAST_RECEIVE_TIMEOUT_MS 1000
