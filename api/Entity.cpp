#include "api/Entity.h"

#include <cstring>

#include "api/UEIReply.h"
#include "common/aUEI.h"

namespace Quenlark {
namespace Tallowick {

class EntityClass::impl {
 public:
  explicit impl(EntityClass& o) : owner(o) {}
  EntityClass& owner;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;

  Link* link() const { return module == nullptr ? nullptr : module->getLink(); }
  uint8_t address() const { return module->getModuleAddress(); }
  // A SET of one option, in the subindex form when subindex is given, and the wait
  // for its acknowledgement.
  aErr set(uint8_t option, uei* record, const uint8_t* subindex);
};

namespace {

constexpr uint8_t kStoreSave = 0;
constexpr uint8_t kStoreFactory = 1;
constexpr uint8_t kStoreLoad = 2;
constexpr uint8_t kAllOptions = 0xFF;

bool isError(const uei& record) { return (record.specifier & UEI_SPECIFIER_ERROR) != 0; }

uei makeRecord(int32_t type) {
  uei r;
  std::memset(&r, 0, sizeof r);
  r.type = type;
  return r;
}

}  // namespace

aErr EntityClass::impl::set(uint8_t option, uei* record, const uint8_t* subindex) {
  if (record == nullptr) return aErrParam;
  Link* l = link();
  if (l == nullptr) return aErrResource;
  const uint8_t to = address();
  record->module = to;
  record->command = command;
  record->option = static_cast<uint8_t>(option | UEI_OPTION_SET);
  record->specifier = static_cast<uint8_t>(index | UEI_SPECIFIER_REQUEST);
  aErr e = subindex != nullptr ? l->sendUEI(*record, *subindex) : l->sendUEI(*record);
  if (e != aErrNone) return e;
  record->option = static_cast<uint8_t>(option | UEI_OPTION_ACK);
  record->specifier = index;
  e = l->receiveUEI(to, command, record->option, index, record);
  if (e == aErrNone && isError(*record)) return ueiDeviceCode(*record);
  return e;
}

EntityClass::EntityClass() : m_impl(std::make_unique<impl>(*this)) {}

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  m_impl->module = module;
  m_impl->command = command;
  m_impl->index = index;
}

uint8_t EntityClass::getIndex() const { return m_impl->index; }

aErr EntityClass::sendPacket(uint8_t command, uint8_t count, const uint8_t* bytes) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->sendPacket(m_impl->address(), command, count, bytes);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* count, uint8_t* out) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->receivePacket(m_impl->address(), match, count, out);
}

aErr EntityClass::getUEI(uint8_t option, uei* record) {
  if (record == nullptr) return aErrParam;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  const uint8_t address = m_impl->address();
  const uint8_t subindex = record->type == ueiTypeByte ? record->v.byteVal : 0;
  uint32_t streamed = 0;
  aErr e = link->getStreamValue(address, m_impl->command, option, m_impl->index, subindex, &streamed);
  if (e != aErrNotFound) {
    if (e == aErrNone || e == aErrStreamStale) {
      record->v.intVal = streamed;
      record->type = ueiTypeInt;
    }
    return e;
  }
  record->module = address;
  record->command = m_impl->command;
  record->option = static_cast<uint8_t>(option | UEI_OPTION_GET);
  record->specifier = static_cast<uint8_t>(m_impl->index | UEI_SPECIFIER_REQUEST);
  e = link->sendUEI(*record);
  if (e != aErrNone) return e;
  record->option = option;
  record->specifier = m_impl->index;
  // Whatever the reply does not fill reads as 0, never as the request's subindex; a
  // reply whose length has no value form stays marked.
  record->v.intVal = 0;
  record->type = ueiTypeUnknown;
  e = link->receiveUEI(address, m_impl->command, option, m_impl->index, record);
  if (e == aErrNone && isError(*record)) return ueiDeviceCode(*record);
  return e;
}

aErr EntityClass::setUEI(uint8_t option, uei* record) { return m_impl->set(option, record, nullptr); }

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record) {
  return m_impl->set(option, record, &subindex);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei r = makeRecord(ueiTypeNone);
  return setUEI(option, &r);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei r = makeRecord(ueiTypeByte);
  r.v.byteVal = value;
  return setUEI(option, &r);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei r = makeRecord(ueiTypeByte);
  r.v.byteVal = value;
  return setUEI(option, subindex, &r);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei r = makeRecord(ueiTypeShort);
  r.v.shortVal = value;
  return setUEI(option, &r);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei r = makeRecord(ueiTypeShort);
  r.v.shortVal = value;
  return setUEI(option, subindex, &r);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei r = makeRecord(ueiTypeInt);
  r.v.intVal = value;
  return setUEI(option, &r);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei r = makeRecord(ueiTypeInt);
  r.v.intVal = value;
  return setUEI(option, subindex, &r);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* bytes, uint64_t length) {
  if (length > 0 && bytes == nullptr) return aErrParam;
  uei r = makeRecord(ueiTypeBytes);
  // sendUEI only reads the bytes of a request.
  r.v.bytes.data = const_cast<uint8_t*>(bytes);
  r.v.bytes.length = length;
  return setUEI(option, &r);
}

namespace {
template <typename T>
T narrow(const uei& r) {
  switch (r.type) {
    case ueiTypeByte: return static_cast<T>(r.v.byteVal);
    case ueiTypeShort: return static_cast<T>(r.v.shortVal);
    default: return static_cast<T>(r.v.intVal);
  }
}

// A reply without a value (or of a length with no value form) is no value: aErrPacket
// rather than a made-up number.
template <typename T>
aErr readTyped(EntityClass& entity, uint8_t option, uei& r, T* out) {
  if (out == nullptr) return aErrParam;
  aErr e = entity.getUEI(option, &r);
  if (e == aErrNone && (r.type == ueiTypeUnknown || r.type == ueiTypeNone)) return aErrPacket;
  if (e == aErrNone || e == aErrStreamStale) *out = narrow<T>(r);
  return e;
}
}  // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* out) {
  uei r = makeRecord(ueiTypeNone);
  return readTyped(*this, option, r, out);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* out) {
  uei r = makeRecord(ueiTypeByte);
  r.v.byteVal = subindex;
  return readTyped(*this, option, r, out);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* out) {
  uei r = makeRecord(ueiTypeNone);
  return readTyped(*this, option, r, out);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* out) {
  uei r = makeRecord(ueiTypeByte);
  r.v.byteVal = subindex;
  return readTyped(*this, option, r, out);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* out) {
  uei r = makeRecord(ueiTypeNone);
  return readTyped(*this, option, r, out);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* out) {
  uei r = makeRecord(ueiTypeByte);
  r.v.byteVal = subindex;
  return readTyped(*this, option, r, out);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, uint64_t capacity, uint64_t* count) {
  if (buffer == nullptr || count == nullptr || capacity == 0) return aErrParam;
  *count = 0;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  const uint8_t address = m_impl->address();
  uei request = makeRecord(ueiTypeNone);
  request.module = address;
  request.command = m_impl->command;
  request.option = static_cast<uint8_t>(option | UEI_OPTION_GET);
  request.specifier = static_cast<uint8_t>(m_impl->index | UEI_SPECIFIER_REQUEST);
  aErr e = link->sendUEI(request);
  if (e != aErrNone) return e;
  uei reply = makeRecord(ueiTypeNone);
  reply.module = address;
  reply.command = m_impl->command;
  reply.option = option;
  reply.specifier = m_impl->index;
  reply.v.bytes.data = buffer;
  reply.v.bytes.sequence = 0;
  reply.v.bytes.more = 0;
  reply.v.bytes.length = capacity;
  reply.v.bytes.received = count;
  for (;;) {
    e = link->receiveUEI(address, m_impl->command, option, m_impl->index, &reply, ueiTakeBytesChunk);
    if (e != aErrNone) return e;
    if (!ueiBytesNext(&reply, &e)) return e;
  }
}

aErr EntityClass::getUEIBytesCheck(uint64_t* count, uint64_t unit) {
  if (count == nullptr) return aErrParam;
  if (unit == 0) return *count == 0 ? aErrNone : aErrMemory;
  if (*count % unit != 0) return aErrMemory;
  *count /= unit;
  return aErrNone;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet) { return aUEI_getBytesSequence(packet); }

uint8_t EntityClass::getUEIBytesContinue(const aPacket* packet) { return aUEI_getBytesContinue(packet); }

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t) {
  if (value == nullptr) return aErrParam;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  uei r = makeRecord(ueiTypeNone);
  r.module = m_impl->address();
  r.command = m_impl->command;
  r.option = static_cast<uint8_t>(option);
  r.specifier = m_impl->index;
  r.type = ueiTypeUnknown;
  const aErr e = link->receiveUEI(r.module, r.command, r.option, r.specifier, &r);
  if (e != aErrNone) return e;
  if (isError(r)) return ueiDeviceCode(r);
  if (r.type == ueiTypeUnknown || r.type == ueiTypeNone) return aErrPacket;
  *value = narrow<uint32_t>(r);
  return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->dropMatchingUEIPackets(m_impl->address(), m_impl->command, option, m_impl->index);
}

namespace {
aErr storeOperation(Module* module, uint8_t command, uint8_t index, uint8_t option) {
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  EntityClass store;
  store.init(module, cmdSTORE, 0);
  return store.setUEI32(option, static_cast<uint32_t>((command << 8) | index));
}
}  // namespace

aErr EntityClass::saveEntityToStore() {
  return storeOperation(m_impl->module, m_impl->command, m_impl->index, kStoreSave);
}

aErr EntityClass::resetEntityToFactoryDefaults() {
  return storeOperation(m_impl->module, m_impl->command, m_impl->index, kStoreFactory);
}

aErr EntityClass::loadEntityFromStore() {
  return storeOperation(m_impl->module, m_impl->command, m_impl->index, kStoreLoad);
}

aErr EntityClass::setStreamEnabled(bool on) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->enableStream(m_impl->address(), m_impl->command, kAllOptions, m_impl->index, on);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool on, Link::StreamCallback callback, void* ref) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->registerStreamCallback(m_impl->address(), m_impl->command, option, m_impl->index, on,
                                      std::move(callback), ref);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, uint64_t max, uint64_t* count) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->getStreamStatus(m_impl->address(), m_impl->command, kAllOptions, m_impl->index, kAllOptions,
                               entries, max, count);
}

}  // namespace Tallowick
}  // namespace Quenlark
