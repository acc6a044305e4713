"""The 128-byte link description that link servers send as their discovery reply.

Written from the record's table: six 32-bit words (link type signed, serial number,
module address, router address, router serial number, model), little-endian; then at
offset 24 the IPv4 address in network byte order and at 28 the TCP port (32-bit,
little-endian); the remaining 96 bytes zero. The test peers build their replies with this
module only: it never comes from the product.
"""
import socket
import struct

LAYOUT = struct.Struct('<iIIIII4sI96x')
SIZE = LAYOUT.size
assert SIZE == 128

# Link kinds as the records name them.
USB, TCPIP, SERIAL = 1, 2, 3
SERVER_CLIENT, SERVER_USB, SERVER_TCPIP, SERVER_SERIAL = 4, 5, 6, 7


def pack(kind, serial, module, model, address, port, router=0, router_serial=0):
    """address is dotted text ("127.0.0.1"); kinds 1 to 7 alike (the network form)."""
    return LAYOUT.pack(kind, serial, module, router, router_serial, model,
                       socket.inet_aton(address), port)


def unpack(data):
    kind, serial, module, router, router_serial, model, ip, port = LAYOUT.unpack(data)
    return dict(kind=kind, serial=serial, module=module, router=router,
                router_serial=router_serial, model=model,
                address=socket.inet_ntoa(ip), port=port)
