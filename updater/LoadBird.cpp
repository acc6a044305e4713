// The BIRD file an operation works with: a file given by path, or a build kept in the
// device's store entry, downloaded first when the caller allows it.
#include <memory>
#include <stdexcept>
#include <string>

#include "updater/BuildNumber.h"
#include "updater/OpenStore.h"
#include "updater/Updater.h"
#include "updater/store/UpdaterStore.h"

BirdFile Updater::load_bird(const char* verb, std::string birdPath, uint32_t serial, uint32_t build, bool download) {
  if (!runStore.open(display, "load_bird")) return BirdFile();
  if (!birdPath.empty()) {
    display.message(0, "%s from Birdfile: %s", verb, birdPath.c_str());
    // The header test a stored file passes holds for a file given by path as well: a
    // file that does not say it is a BIRD file is never written into a device.
    if (!BirdFile::VerifyFile(birdPath.c_str())) throw std::runtime_error("Invalid bird " + birdPath);
    return BirdFile(birdPath.c_str());
  }
  display.message(0, "%s firmware with build: %u", verb, build);
  const std::string name = updater::_bird_name(build);
  try {
    return runStore.add(serial).ReadBirdFile(name.c_str());
  } catch (const std::runtime_error&) {
    if (!download) throw std::runtime_error("Error reading birdfile");
  }
  display.message(0, "Downloading firmware build %u", build);
  Download_Firmware(serial, std::to_string(build), false, false);
  // The entry is looked up again: a download that could not record itself drops the
  // run's copy of it (the file may be in the store all the same).
  return runStore.add(serial).ReadBirdFile(name.c_str());
}
