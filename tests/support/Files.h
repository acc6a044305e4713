#pragma once
// Reading, writing and looking at files in tests.
#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);
bool exists(const std::string& path);       // the link itself for a symbolic link
bool isDirectory(const std::string& path);  // following symbolic links
std::vector<std::string> listDirectory(const std::string& path);  // names, "." and ".." left out

// Copies a file and gives the copy `mode`; throws when it cannot.
void copyFile(const std::string& from, const std::string& to, mode_t mode);

}  // namespace testsupport
