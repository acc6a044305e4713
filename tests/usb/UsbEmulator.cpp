#include "tests/usb/UsbEmulator.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <stdexcept>

namespace usbemu {

namespace {

struct Urb {
  UMockdevIoctlData* urb = nullptr;
  UMockdevIoctlData* buffer = nullptr;
  UMockdevIoctlClient* client = nullptr;
  int filled = 0;   // bytes already in a waiting IN URB
};

usbdevfs_urb* raw(Urb* u) { return reinterpret_cast<usbdevfs_urb*>(u->urb->data); }

void dropUrb(Urb* u) {
  if (u->buffer) g_object_unref(u->buffer);
  g_object_unref(u->urb);
  delete u;
}

std::string hexOf(const std::vector<uint8_t>& bytes) {
  std::string text;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    text += two;
  }
  return text;
}

}  // namespace

bool inMockEnvironment() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

struct Device::Impl {
  UMockdevIoctlBase* handler = nullptr;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configDescriptor;
  std::vector<std::string> strings;   // index 1..

  mutable std::mutex lock;
  OutHandler onOut;
  std::deque<Urb*> pendingIn;
  std::deque<Urb*> heldOut;
  std::deque<Urb*> done;
  std::deque<std::vector<uint8_t>> inData;
  Counters counters;
  std::deque<int> outScript;
  std::deque<int> inScript;
  bool hold = false;
  bool failClearHalt = false;
  bool gone = false;

  // libusb polls the usbfs node for POLLOUT and reaps when it is writable. The node is
  // a FIFO that is kept full, so that it is writable exactly while a URB waits to be
  // reaped; a plain file would always be ready and libusb would spin on it.
  int fifo = -1;
  bool ready = true;

  char page[4096] = {};  // what fills and drains the FIFO

  void setReady(bool on) {  // lock held
    if (fifo < 0 || on == ready) return;
    if (on) {
      if (read(fifo, page, sizeof page) != static_cast<ssize_t>(sizeof page)) std::fprintf(stderr, "usbemu: fifo read\n");
    } else {
      while (write(fifo, page, sizeof page) > 0) {
      }
    }
    ready = on;
  }

  void finish(Urb* u, int status, int actual) {  // lock held
    raw(u)->status = status;
    raw(u)->actual_length = actual;
    done.push_back(u);
    setReady(true);
  }

  void fillPendingIn() {  // lock held
    while (!inData.empty() && !pendingIn.empty()) {
      Urb* u = pendingIn.front();
      pendingIn.pop_front();
      std::vector<uint8_t>& chunk = inData.front();
      size_t n = std::min(chunk.size(), static_cast<size_t>(raw(u)->buffer_length));
      std::memcpy(u->buffer->data, chunk.data(), n);
      chunk.erase(chunk.begin(), chunk.begin() + static_cast<long>(n));
      if (chunk.empty()) inData.pop_front();
      finish(u, 0, static_cast<int>(n));
    }
  }

  // Endpoint 0: the reply length, or -EPIPE (a stall).
  int control(const uint8_t* setup, uint8_t* data, int room) {
    uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    int length = std::min(static_cast<int>(setup[6] | setup[7] << 8), room);
    if (setup[0] == 0x80 && setup[1] == 0x06) {  // GET_DESCRIPTOR
      uint8_t type = static_cast<uint8_t>(value >> 8);
      uint8_t index = static_cast<uint8_t>(value & 0xFF);
      std::vector<uint8_t> reply;
      if (type == 1) {
        reply = deviceDescriptor;
      } else if (type == 2 && index == 0) {
        reply = configDescriptor;
      } else if (type == 3 && index == 0) {
        reply = {4, 3, 0x09, 0x04};
      } else if (type == 3 && index <= strings.size()) {
        const std::string& s = strings[index - 1];
        size_t chars = std::min<size_t>(s.size(), 126);
        reply.push_back(static_cast<uint8_t>(2 + 2 * chars));
        reply.push_back(3);
        for (size_t i = 0; i < chars; ++i) {
          reply.push_back(static_cast<uint8_t>(s[i]));
          reply.push_back(0);
        }
      } else {
        return -EPIPE;
      }
      int n = std::min(static_cast<int>(reply.size()), length);
      std::memcpy(data, reply.data(), static_cast<size_t>(n));
      return n;
    }
    return (setup[0] & 0x80) ? -EPIPE : 0;
  }

  static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<Impl*>(self)->handle(client);
    return TRUE;
  }

  static void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<Impl*>(self)->vanished(client);
  }

  void vanished(UMockdevIoctlClient* client) {
    // The fd was closed: the kernel discards its URBs.
    std::lock_guard<std::mutex> guard(lock);
    for (std::deque<Urb*>* queue : {&pendingIn, &heldOut, &done}) {
      for (auto it = queue->begin(); it != queue->end();) {
        if ((*it)->client == client) {
          dropUrb(*it);
          it = queue->erase(it);
        } else {
          ++it;
        }
      }
    }
    setReady(!done.empty());
  }

  void handle(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong request = umockdev_ioctl_client_get_request(client);
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        // Scatter-gather: libusb submits each bulk transfer as one URB.
        *reinterpret_cast<guint32*>(d->data) = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                               USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(d);
        return;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE: {
        std::lock_guard<std::mutex> guard(lock);
        if (request == USBDEVFS_CLAIMINTERFACE) ++counters.claims;
        else ++counters.releases;
        umockdev_ioctl_client_complete(client, gone ? -1 : 0, gone ? ENODEV : 0);
        return;
      }
      case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
        std::lock_guard<std::mutex> guard(lock);
        ++counters.clearHalts;
        if (d) counters.clearedEndpoints.push_back(static_cast<uint8_t>(*reinterpret_cast<unsigned int*>(d->data)));
        bool fail = failClearHalt || gone;
        umockdev_ioctl_client_complete(client, fail ? -1 : 0, fail ? (gone ? ENODEV : EPROTO) : 0);
        if (d) g_object_unref(d);
        return;
      }
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_RESET:
      case USBDEVFS_RESETEP:
      case USBDEVFS_SETCONFIGURATION:
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:  // no kernel driver bound
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return;
      case USBDEVFS_SUBMITURB:
        submit(client, arg);
        return;
      case USBDEVFS_DISCARDURB:
        discard(client, arg);
        return;
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        reap(client, arg);
        return;
      default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return;
    }
  }

  void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Urb* u = new Urb();
    u->client = client;
    u->urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    usbdevfs_urb* urb = raw(u);
    if (urb->buffer_length > 0)
      u->buffer = umockdev_ioctl_data_resolve(u->urb, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                              static_cast<gsize>(urb->buffer_length), nullptr);
    std::unique_lock<std::mutex> guard(lock);
    if (gone) {
      guard.unlock();
      dropUrb(u);
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return;
    }
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
      ++counters.controlUrbs;
      int r = u->buffer && urb->buffer_length >= 8
                  ? control(u->buffer->data, u->buffer->data + 8, urb->buffer_length - 8)
                  : -EPIPE;
      finish(u, r < 0 ? r : 0, r < 0 ? 0 : r);
    } else if ((urb->endpoint & 0x80) == 0) {
      ++counters.bulkOutUrbs;
      int status = 0;
      if (!outScript.empty()) {
        status = outScript.front();
        outScript.pop_front();
      }
      if (status != 0) {
        finish(u, status, 0);
      } else if (hold) {
        heldOut.push_back(u);
      } else {
        std::vector<uint8_t> bytes;
        if (u->buffer) bytes.assign(u->buffer->data, u->buffer->data + urb->buffer_length);
        counters.outChunks.push_back(bytes.size());
        finish(u, 0, urb->buffer_length);
        OutHandler deliver = onOut;
        guard.unlock();
        if (deliver) deliver(bytes.data(), bytes.size());
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
      }
    } else {
      ++counters.bulkInUrbs;
      int status = 0;
      if (!inScript.empty()) {
        status = inScript.front();
        inScript.pop_front();
      }
      if (status != 0) {
        finish(u, status, 0);
      } else {
        pendingIn.push_back(u);
        fillPendingIn();
      }
    }
    // Completing syncs the URB and its buffer back to the client: still under the lock,
    // so that a device send() cannot fill the buffer while it is being copied.
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = *reinterpret_cast<gulong*>(arg->data);  // the client's URB pointer
    int result = -1;
    {
      std::lock_guard<std::mutex> guard(lock);
      for (std::deque<Urb*>* queue : {&pendingIn, &heldOut}) {
        for (auto it = queue->begin(); it != queue->end(); ++it) {
          if ((*it)->client == client && (*it)->urb->client_addr == address) {
            Urb* u = *it;
            queue->erase(it);
            finish(u, -ENOENT, u->filled);
            result = 0;
            break;
          }
        }
        if (result == 0) break;
      }
    }
    umockdev_ioctl_client_complete(client, result, result ? EINVAL : 0);
  }

  void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Urb* u = nullptr;
    {
      std::lock_guard<std::mutex> guard(lock);
      ++counters.reaps;
      for (auto it = done.begin(); it != done.end(); ++it) {
        if ((*it)->client == client) {
          u = *it;
          done.erase(it);
          break;
        }
      }
      setReady(!done.empty());
    }
    if (u == nullptr) {  // libusb only reaps without waiting
      umockdev_ioctl_client_complete(client, -1, EAGAIN);
      return;
    }
    // arg points at the client's "struct usbdevfs_urb *": make it point at its URB.
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, u->urb);
    umockdev_ioctl_client_complete(client, 0, 0);  // syncs status, length and buffer back
    g_object_unref(pointer);
    dropUrb(u);
  }
};

Device::Device(Bus& bus, const DeviceSpec& spec, unsigned busNumber) : spec_(spec), impl_(new Impl()) {
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/001", busNumber);
  devnode_ = node;
  syspath_ = "/sys/devices/usb" + std::to_string(busNumber);

  Impl& d = *impl_;
  d.deviceDescriptor = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40,
                        static_cast<uint8_t>(spec.vendorId), static_cast<uint8_t>(spec.vendorId >> 8),
                        static_cast<uint8_t>(spec.productId), static_cast<uint8_t>(spec.productId >> 8),
                        0x00, 0x01, 0x01, 0x02, 0x03, 0x01};
  std::vector<uint8_t> body;
  uint8_t interfaces = 1;
  if (spec.interfaceNumber != 0) {  // an unrelated interface before the data interface
    body.insert(body.end(), {0x09, 0x04, 0x00, 0x00, 0x00, 0xFE, 0x01, 0x01, 0x00});
    interfaces = 2;
  }
  body.insert(body.end(), {0x09, 0x04, spec.interfaceNumber, 0x00, static_cast<uint8_t>(spec.endpoints.size()),
                           spec.interfaceClass, spec.interfaceSubClass, spec.interfaceProtocol, 0x00});
  for (const EndpointSpec& e : spec.endpoints)
    body.insert(body.end(), {0x07, 0x05, e.address, e.attributes, static_cast<uint8_t>(e.maxPacketSize),
                             static_cast<uint8_t>(e.maxPacketSize >> 8), 0x01});
  uint16_t total = static_cast<uint16_t>(9 + body.size());
  d.configDescriptor = {0x09, 0x02, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), interfaces,
                        0x01, 0x00, 0x80, 0x32};
  d.configDescriptor.insert(d.configDescriptor.end(), body.begin(), body.end());
  d.strings = {"Quenlark", "Emulated module", spec.serial};

  char ids[96];
  std::snprintf(ids, sizeof ids, "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", spec.vendorId, spec.productId);
  char busText[8];
  std::snprintf(busText, sizeof busText, "%03u", busNumber);
  const std::string number = std::to_string(busNumber);
  // Every attribute value ends with an escaped newline, as sysfs gives them.
  std::string record = "P: /devices/usb" + number + "\nN: bus/usb/" + busText + "/001" +
                       "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + devnode_ +
                       "\nE: BUSNUM=" + busText + "\nE: DEVNUM=001\n" +
                       "A: busnum=" + number + "\\n\nA: devnum=1\\n\nA: speed=480\\n\n" +
                       "A: bConfigurationValue=1\\n\n" + ids + "H: descriptors=" + hexOf(d.deviceDescriptor) +
                       hexOf(d.configDescriptor) + "\n";
  // A host that is enumerating in another process opens the node as soon as the device
  // is listed, so the window in which it is half-made stays small: the handler is made
  // before the device is added and attached right after (attached before the device
  // exists, a host often never found it), and the node turns into a fifo by one rename,
  // never missing. Its first requests wait for the lock until the node is ready.
  GError* error = nullptr;
  std::lock_guard<std::mutex> guard(d.lock);
  d.handler = umockdev_ioctl_base_new();
  g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(Impl::onIoctl), &d);
  g_signal_connect(d.handler, "client-vanished", G_CALLBACK(Impl::onVanished), &d);
  if (!umockdev_testbed_add_from_string(bus.testbed(), record.c_str(), &error))
    throw std::runtime_error(std::string("usbemu: add device: ") + error->message);
  if (!umockdev_testbed_attach_ioctl(bus.testbed(), devnode_.c_str(), d.handler, &error))
    throw std::runtime_error(std::string("usbemu: attach: ") + error->message);

  gchar* root = umockdev_testbed_get_root_dir(bus.testbed());
  const std::string path = std::string(root) + devnode_;
  g_free(root);
  const std::string made = path + ".fifo";
  if (mkfifo(made.c_str(), 0666) < 0 || (d.fifo = open(made.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0 ||
      rename(made.c_str(), path.c_str()) < 0)
    throw std::runtime_error("usbemu: fifo " + path + ": " + std::strerror(errno));
  d.ready = true;
  d.setReady(false);
}

Device::~Device() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> guard(d.lock);  // orders this after the worker's last handler
  for (std::deque<Urb*>* queue : {&d.pendingIn, &d.heldOut, &d.done}) {
    for (Urb* u : *queue) dropUrb(u);
    queue->clear();
  }
  if (d.handler) g_object_unref(d.handler);
  if (d.fifo >= 0) close(d.fifo);
}

void Device::setOutHandler(OutHandler handler) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->onOut = std::move(handler);
}

void Device::send(const void* data, size_t length) {
  if (length == 0) return;
  std::lock_guard<std::mutex> guard(impl_->lock);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  impl_->inData.emplace_back(bytes, bytes + length);
  impl_->fillPendingIn();
}

bool Device::sendUnended(const void* data, size_t length) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->pendingIn.empty()) return false;
  Urb* u = impl_->pendingIn.front();
  size_t room = static_cast<size_t>(raw(u)->buffer_length - u->filled);
  if (length > room) return false;
  std::memcpy(u->buffer->data + u->filled, data, length);
  u->filled += static_cast<int>(length);
  return true;
}

void Device::scriptOut(std::vector<int> statuses) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->outScript.assign(statuses.begin(), statuses.end());
}

void Device::scriptIn(std::vector<int> statuses) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->inScript.assign(statuses.begin(), statuses.end());
  // An IN URB already waiting takes the first entry, as a transfer on the wire would.
  while (!impl_->inScript.empty() && impl_->inScript.front() != 0 && !impl_->pendingIn.empty()) {
    Urb* u = impl_->pendingIn.front();
    impl_->pendingIn.pop_front();
    impl_->finish(u, impl_->inScript.front(), 0);
    impl_->inScript.pop_front();
  }
}

void Device::holdOut(bool hold) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->hold = hold;
}

void Device::failClearHalt(bool fail) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->failClearHalt = fail;
}

void Device::unplug() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->gone = true;
  for (std::deque<Urb*>* queue : {&impl_->pendingIn, &impl_->heldOut}) {
    while (!queue->empty()) {
      Urb* u = queue->front();
      queue->pop_front();
      impl_->finish(u, -ENODEV, 0);
    }
  }
}

Counters Device::counters() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->counters;
}

void Device::resetCounters() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->counters = Counters();
}

Bus::Bus() {
  if (!inMockEnvironment())
    throw std::runtime_error("usbemu: run under umockdev's preload library (run-under-umockdev.sh)");
  testbed_ = umockdev_testbed_new();
}

Bus::~Bus() {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& device : devices_) umockdev_testbed_detach_ioctl(testbed_, device->devnode().c_str(), nullptr);
  // The testbed's worker thread runs the handlers: it ends with the testbed, before the
  // devices it calls into go.
  g_object_unref(testbed_);
  devices_.clear();
}

Device& Bus::add(const DeviceSpec& spec) {
  std::lock_guard<std::mutex> guard(mutex_);
  devices_.emplace_back(new Device(*this, spec, nextBus_++));
  return *devices_.back();
}

void Bus::remove(Device& device) {
  // The device stops answering at once; its emulation stays attached until the Bus
  // goes, so that handles the host still holds fail cleanly instead of dangling.
  device.unplug();
  std::lock_guard<std::mutex> guard(mutex_);
  umockdev_testbed_remove_device(testbed_, device.syspath_.c_str());
}

int Bus::addKernelNode(uint32_t serialNumber) {
  char name[32];
  std::snprintf(name, sizeof name, "tallowick.%08X", serialNumber);
  std::string record = std::string("P: /devices/virtual/tallowick/") + name + "\nN: " + name +
                       "\nE: SUBSYSTEM=tallowick\nE: DEVNAME=/dev/" + name + "\nA: dev=240:1\\n\n";
  std::lock_guard<std::mutex> guard(mutex_);
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
    g_error_free(error);
    return -1;
  }
  int fd = umockdev_testbed_get_dev_fd(testbed_, (std::string("/dev/") + name).c_str());
  if (fd < 0) return -1;
  termios settings;
  if (tcgetattr(fd, &settings) == 0) {
    cfmakeraw(&settings);  // bytes pass unchanged, nothing echoes
    tcsetattr(fd, TCSANOW, &settings);
  }
  return fd;
}

}  // namespace usbemu
