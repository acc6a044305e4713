#pragma once
// Routines the Updater's operations share: opening the store, keeping a Module off the
// network-link feature, the USB reconnect loop, build-number texts, the upgrade steps
// of an update and the device queries of discovery.
#include <cstdint>
#include <memory>
#include <string>

#include "api/Module.h"
#include "common/aErr.h"
#include "common/aLinkSpecifier.h"
#include "updater/firmware/BirdFile.h"
#include "updater/DeviceInfo.h"
#include "updater/cli/UpdaterDisplayInterface.h"
#include "updater/store/UpdaterStore.h"

// Empty (after the error is shown) when the store cannot be opened.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& root,
                                                  const char* operation);
aErr _disableQuivel(Quenlark::Tallowick::Module& module, UpdaterDisplayInterface& display);
// Up to 15 tries over USB, refreshing libusb before tries 3, 6, 9, 12 and 15; the
// caller looks at isConnected afterwards.
void _reconnect_usb(Quenlark::Tallowick::Module& module, uint32_t serial);
// Decimal text to a build number as std::stoul reads it; false when it does not convert.
bool _to_build_number(const std::string& text, uint32_t& build);
std::string _bird_name(uint32_t build);

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Quenlark::Tallowick::Module& device,
                        uint32_t serial);
aErr _transfer_loader(UpdaterDisplayInterface& display, Quenlark::Tallowick::Module& device, BirdFile& bird);
aErr _transfer_firmware(UpdaterDisplayInterface& display, Quenlark::Tallowick::Module& device, BirdFile& bird,
                        bool viaRouter, bool ueiBytesLoad);

linkType _discover_link_type(uint32_t serial);
bool _discovered_device(const linkSpec* spec, bool* found, void* reference);
bool _discovered_link(const linkSpec* spec, bool* found, void* reference);
uint32_t _get_build_number(Quenlark::Tallowick::Module& module);
aErr _get_version(Quenlark::Tallowick::Module& module, DeviceInfo& info);
aErr _get_device_name(Quenlark::Tallowick::Module& module, DeviceInfo& info);
