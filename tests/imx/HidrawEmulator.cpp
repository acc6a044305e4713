#include "tests/imx/HidrawEmulator.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>

namespace hidemu {

namespace {

constexpr size_t kMaxReport = 4096;  // the largest report hidraw moves
constexpr unsigned kFirstBus = 200;
std::atomic<unsigned> instances{0};

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    text += two;
  }
  return text;
}

void report(std::vector<uint8_t>& d, uint8_t id, uint16_t count, bool output) {
  d.insert(d.end(), {0x85, id, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08});
  if (count < 256) {
    d.insert(d.end(), {0x95, static_cast<uint8_t>(count)});
  } else {
    d.insert(d.end(), {0x96, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)});
  }
  d.insert(d.end(), {static_cast<uint8_t>(output ? 0x91 : 0x81), 0x02});
}

}  // namespace

std::vector<uint8_t> sdpReportDescriptor() {
  std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  report(d, 1, 16, true);
  report(d, 2, 1024, true);
  report(d, 3, 4, false);
  report(d, 4, 64, false);
  d.push_back(0xC0);
  return d;
}

struct HidrawDevice::Impl {
  HidSpec spec;
  OutputHandler onOutput;
  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  std::string node;
  std::string usbPath;
  std::string hidName;

  mutable std::mutex lock;
  std::deque<std::vector<uint8_t>> reports;   // input reports for the open file
  std::deque<UMockdevIoctlClient*> readers;   // blocking reads waiting for a report
  std::set<UMockdevIoctlClient*> live;        // one per open() not yet closed
  std::vector<std::vector<uint8_t>> outputs;
  unsigned opens = 0;
  unsigned busy = 0;  // handlers in flight
  std::condition_variable idle;
  bool gone = false;
  bool removed = false;
  int token = -1;          // the emulator's end of the FIFO node
  bool tokenIn = false;

  // lock held. poll() on the client's node follows "something to read": a queued
  // report, or the hang-up of a device that left.
  void setToken() {
    const bool on = !reports.empty() || gone;
    if (token < 0 || on == tokenIn) return;
    char b = 'r';
    if ((on ? write(token, &b, 1) : read(token, &b, 1)) != 1) std::perror("hidemu: token");
    tokenIn = on;
  }

  // umockdev does not tell when a client closes its file, so each client is asked.
  void pruneClosed() {  // lock held
    for (auto it = live.begin(); it != live.end();) {
      UMockdevIoctlClient* c = *it;
      if (umockdev_ioctl_client_get_connected(c)) {
        ++it;
        continue;
      }
      for (auto r = readers.begin(); r != readers.end();) {
        if (*r == c) {
          g_object_unref(*r);
          r = readers.erase(r);
        } else {
          ++r;
        }
      }
      g_object_unref(c);
      it = live.erase(it);
    }
    if (live.empty()) reports.clear();
    setToken();
  }

  static void deliver(UMockdevIoctlClient* c, const std::vector<uint8_t>& r) {
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(c);
    size_t n = r.size();
    if (n > static_cast<size_t>(buffer->data_len)) n = static_cast<size_t>(buffer->data_len);
    std::memcpy(buffer->data, r.data(), n);
    umockdev_ioctl_client_complete(c, static_cast<glong>(n), 0);
  }

  // Counts a handler in flight, so that the destructor can wait for the last one (the
  // output handler calls into the test's device logic).
  class Busy {
  public:
    explicit Busy(Impl& d) : d_(d) {
      std::lock_guard<std::mutex> guard(d_.lock);
      d_.busy++;
    }
    ~Busy() {
      std::lock_guard<std::mutex> guard(d_.lock);
      d_.busy--;
      d_.idle.notify_all();
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

  private:
    Impl& d_;
  };

  static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer self) {
    Busy busy(*static_cast<Impl*>(self));
    static_cast<Impl*>(self)->ioctl(c);
    return TRUE;
  }
  static gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer self) {
    Busy busy(*static_cast<Impl*>(self));
    static_cast<Impl*>(self)->readReport(c);
    return TRUE;
  }
  static gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer self) {
    Busy busy(*static_cast<Impl*>(self));
    static_cast<Impl*>(self)->writeReport(c);
    return TRUE;
  }
  static void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer self) {
    Impl& d = *static_cast<Impl*>(self);
    std::lock_guard<std::mutex> guard(d.lock);
    d.pruneClosed();
    d.reports.clear();  // a new open starts with an empty queue
    d.live.insert(static_cast<UMockdevIoctlClient*>(g_object_ref(c)));
    d.opens++;
    d.setToken();
  }

  void ioctl(UMockdevIoctlClient* c) {
    const gulong request = umockdev_ioctl_client_get_request(c);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    UMockdevIoctlData* d = nullptr;
    glong result = 0;
    int error = 0;
    if (request == HIDIOCGRDESCSIZE) {
      d = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
      *reinterpret_cast<int*>(d->data) = static_cast<int>(spec.reportDescriptor.size());
    } else if (request == HIDIOCGRDESC) {
      d = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), nullptr);
      auto* out = reinterpret_cast<hidraw_report_descriptor*>(d->data);
      if (out->size > HID_MAX_DESCRIPTOR_SIZE) {
        result = -1;
        error = EINVAL;
      } else {
        const size_t n = std::min<size_t>(out->size, spec.reportDescriptor.size());
        std::memcpy(out->value, spec.reportDescriptor.data(), n);
      }
    } else if (request == HIDIOCGRAWINFO) {
      d = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_devinfo), nullptr);
      auto* info = reinterpret_cast<hidraw_devinfo*>(d->data);
      info->bustype = 3;  // BUS_USB
      info->vendor = static_cast<__s16>(spec.vendorId);
      info->product = static_cast<__s16>(spec.productId);
    } else if (_IOC_TYPE(request) == 'H' && (_IOC_NR(request) == 0x04 || _IOC_NR(request) == 0x05)) {
      // HIDIOCGRAWNAME(len), HIDIOCGRAWPHYS(len): the text cut to len
      const std::string text = _IOC_NR(request) == 0x04 ? hidName : "usb-emulated-1/input0";
      const size_t room = _IOC_SIZE(request);
      d = room > 0 ? umockdev_ioctl_data_resolve(arg, 0, room, nullptr) : nullptr;
      if (d == nullptr) {
        result = -1;
        error = EFAULT;
      } else {
        const size_t n = std::min(text.size() + 1, room);
        std::memcpy(d->data, text.c_str(), n);
        result = static_cast<glong>(n);
      }
    } else {
      result = -1;
      error = EINVAL;  // what hidraw answers to a request it does not know
    }
    if (d != nullptr) g_object_unref(d);  // still held by arg, synced back on completion
    umockdev_ioctl_client_complete(c, result, error);
  }

  void writeReport(UMockdevIoctlClient* c) {
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(c);
    const size_t length = static_cast<size_t>(buffer->data_len);
    OutputHandler deliverTo;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (gone) {
        umockdev_ioctl_client_complete(c, -1, ENODEV);
        return;
      }
      if (length < 2 || length > kMaxReport) {  // hidraw refuses these
        umockdev_ioctl_client_complete(c, -1, EINVAL);
        return;
      }
      outputs.emplace_back(buffer->data, buffer->data + length);
      deliverTo = onOutput;
    }
    if (deliverTo) deliverTo(buffer->data, length);
    umockdev_ioctl_client_complete(c, static_cast<glong>(length), 0);
  }

  void readReport(UMockdevIoctlClient* c) {
    std::unique_lock<std::mutex> guard(lock);
    if (reports.empty()) {
      if (gone) {
        guard.unlock();
        umockdev_ioctl_client_complete(c, -1, ENODEV);
        return;
      }
      readers.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(c)));  // completed by send()
      return;
    }
    std::vector<uint8_t> r = std::move(reports.front());
    reports.pop_front();
    setToken();
    guard.unlock();
    deliver(c, r);
  }
};

HidrawDevice::HidrawDevice(UMockdevTestbed* testbed, const HidSpec& spec, OutputHandler onOutput)
    : impl_(new Impl()) {
  Impl& d = *impl_;
  d.spec = spec;
  d.onOutput = std::move(onOutput);
  d.testbed = testbed;
  const unsigned instance = instances++;
  d.hidName = spec.manufacturer + " " + spec.product;
  d.node = "/dev/hidraw" + std::to_string(instance);

  char ids[64];
  std::snprintf(ids, sizeof ids, "%04X:%04X.%04X", spec.vendorId, spec.productId, (instance + 1) & 0xFFFF);
  const std::string bus = std::to_string(kFirstBus + instance % 50);  // bus numbers are 8-bit
  d.usbPath = "/devices/pci0000:00/0000:00:14.0/usb" + bus + "/" + bus + "-1";
  const std::string interfacePath = d.usbPath + "/" + bus + "-1:1.0";
  const std::string hidDir = "0003:" + std::string(ids);
  const std::string hidPath = interfacePath + "/" + hidDir;
  const std::string rawName = "hidraw" + std::to_string(instance);

  // The USB descriptors of a plain HID device, for a libusb enumerating the same bus.
  const std::vector<uint8_t> descriptors = {
      0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, static_cast<uint8_t>(spec.vendorId),
      static_cast<uint8_t>(spec.vendorId >> 8), static_cast<uint8_t>(spec.productId),
      static_cast<uint8_t>(spec.productId >> 8), 0x01, 0x00, 0x01, 0x02, 0x03, 0x01,
      // configuration, one HID interface with one interrupt IN endpoint
      0x09, 0x02, 0x22, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x00, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00,
      0x09, 0x21, 0x10, 0x01, 0x00, 0x01, 0x22, static_cast<uint8_t>(spec.reportDescriptor.size()),
      static_cast<uint8_t>(spec.reportDescriptor.size() >> 8), 0x07, 0x05, 0x81, 0x03, 0x40, 0x00, 0x01};

  char vidpid[160];
  std::snprintf(vidpid, sizeof vidpid,
                "E: PRODUCT=%x/%x/1\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", spec.vendorId, spec.productId,
                spec.vendorId, spec.productId);
  char hidId[96];
  std::snprintf(hidId, sizeof hidId, "E: HID_ID=0003:%08X:%08X\n", spec.vendorId, spec.productId);
  // Parents first. hidapi reads HID_ID, HID_NAME and HID_UNIQ from the hid device, the
  // USB strings and the interface number from the usb parents, and usage page and usage
  // from the report descriptor it reaches through the hidraw device's "device" link.
  const std::string record =
      "P: " + d.usbPath + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + vidpid +
      "A: bcdDevice=0001\\n\nA: manufacturer=" + spec.manufacturer + "\\n\nA: product=" + spec.product +
      "\\n\nA: serial=" + spec.serial + "\\n\nA: busnum=" + bus + "\\n\nA: devnum=2\\n\nA: speed=12\\n\n" +
      "H: descriptors=" + hex(descriptors) + "\n\n" +
      "P: " + interfacePath +
      "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usbhid\nE: INTERFACE=3/0/0\n"
      "A: bInterfaceNumber=00\\n\nA: bInterfaceClass=03\\n\n\n" +
      "P: " + hidPath + "\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\n" + hidId + "E: HID_NAME=" + d.hidName +
      "\nE: HID_PHYS=usb-emulated-1/input0\nE: HID_UNIQ=" + spec.serial + "\n" +
      "H: report_descriptor=" + hex(spec.reportDescriptor) + "\n\n" +
      "P: " + hidPath + "/hidraw/" + rawName + "\nN: " + rawName + "=00\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" +
      d.node + "\nE: MAJOR=245\nE: MINOR=" + std::to_string(instance) + "\nA: dev=245:" +
      std::to_string(instance) + "\\n\nL: device=../../../" + hidDir + "\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
    const std::string message = error->message;
    g_error_free(error);
    throw std::runtime_error("hidemu: add device: " + message);
  }

  d.handler = umockdev_ioctl_base_new();
  g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(Impl::onIoctl), &d);
  g_signal_connect(d.handler, "handle-read", G_CALLBACK(Impl::onRead), &d);
  g_signal_connect(d.handler, "handle-write", G_CALLBACK(Impl::onWrite), &d);
  g_signal_connect(d.handler, "client-connected", G_CALLBACK(Impl::onConnected), &d);
  if (!umockdev_testbed_attach_ioctl(testbed, d.node.c_str(), d.handler, &error)) {
    const std::string message = error->message;
    g_error_free(error);
    throw std::runtime_error("hidemu: attach: " + message);
  }

  // umockdev made a plain file, on which poll() is always ready: hidapi's timed reads
  // would return at once. A FIFO holding one byte while a report is queued gives the
  // client's poll() the readiness of a real hidraw node.
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  const std::string path = std::string(root) + d.node;
  g_free(root);
  std::lock_guard<std::mutex> guard(d.lock);  // publishes everything above to the worker thread
  if (unlink(path.c_str()) != 0 || mkfifo(path.c_str(), 0666) != 0 ||
      (d.token = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0)
    throw std::runtime_error("hidemu: fifo " + path + ": " + std::strerror(errno));
}

HidrawDevice::~HidrawDevice() {
  Impl& d = *impl_;
  umockdev_testbed_detach_ioctl(d.testbed, d.node.c_str(), nullptr);
  {
    std::unique_lock<std::mutex> guard(d.lock);
    d.idle.wait_for(guard, std::chrono::seconds(10), [&] { return d.busy == 0; });
    for (UMockdevIoctlClient* c : d.readers) g_object_unref(c);
    d.readers.clear();
    for (UMockdevIoctlClient* c : d.live) g_object_unref(c);
    d.live.clear();
  }
  if (!d.removed) umockdev_testbed_remove_device(d.testbed, ("/sys" + d.usbPath).c_str());
  if (d.handler != nullptr) g_object_unref(d.handler);
  if (d.token >= 0) close(d.token);
}

void HidrawDevice::send(const uint8_t* report, size_t length) {
  Impl& d = *impl_;
  std::vector<uint8_t> r(report, report + length);
  std::unique_lock<std::mutex> guard(d.lock);
  d.pruneClosed();
  if (d.live.empty() || d.gone) return;  // hidraw keeps reports only for open files
  if (d.readers.empty()) {
    d.reports.push_back(std::move(r));
    d.setToken();
    return;
  }
  UMockdevIoctlClient* waiting = d.readers.front();
  d.readers.pop_front();
  guard.unlock();
  Impl::deliver(waiting, r);
  g_object_unref(waiting);
}

void HidrawDevice::leave() {
  Impl& d = *impl_;
  std::deque<UMockdevIoctlClient*> waiting;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    if (d.gone) return;
    d.gone = true;
    waiting.swap(d.readers);
    d.setToken();  // poll() wakes, and the read that follows fails
  }
  for (UMockdevIoctlClient* c : waiting) {
    umockdev_ioctl_client_complete(c, -1, ENODEV);
    g_object_unref(c);
  }
  umockdev_testbed_remove_device(d.testbed, ("/sys" + d.usbPath).c_str());
  d.removed = true;
}

const std::string& HidrawDevice::node() const { return impl_->node; }

std::vector<std::vector<uint8_t>> HidrawDevice::outputs() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->outputs;
}

void HidrawDevice::clearOutputs() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->outputs.clear();
}

unsigned HidrawDevice::opens() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->opens;
}

}  // namespace hidemu
