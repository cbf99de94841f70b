// SPDX-License-Identifier: MIT
// The Linux port listing and PLC search on any sysfs tree. The input is the
// tree, one entry a line, paths relative to the sysfs root:
//   d PATH           a directory
//   f PATH=TEXT      a file holding TEXT (an attribute such as idVendor)
//   l PATH>TARGET    a symbolic link to TARGET (leading ".." go up)
// The tree is made in a temporary directory and removed after each run; it
// never reaches outside that directory: paths lose "." and "..", nothing is
// made under a symbolic link, and a link's leading ".." stop at the root.
// Properties: the listing is sorted and under the device root; a PLC is
// found only in a tree that names the PLC's vendor and product.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "discovery/linux_sysfs.h"
#include "fuzz/fuzz_support.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxEntries = 64;
constexpr size_t kMaxDepth = 12;
constexpr size_t kMaxName = 64;

// Made once per process, removed when it ends. On tmpfs where there is one:
// every run makes and removes a tree, and on a disk that means waiting for it.
struct TemporaryDirectory {
  TemporaryDirectory() {
    std::error_code error;
    const fs::path parent =
        fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (parent / "morvix-sysfs-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) Violated("cannot make a temporary directory");
    path = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code error;
    fs::remove_all(path, error);
  }
  fs::path path;
};

const fs::path& Base() {
  static const TemporaryDirectory base;
  return base.path;
}

// The path's names without empty ones, "." and "..", at most kMaxDepth.
std::vector<std::string> Names(std::string_view path) {
  std::vector<std::string> names;
  for (size_t start = 0; start <= path.size() && names.size() < kMaxDepth;) {
    const size_t end = std::min(path.find('/', start), path.size());
    std::string name(path.substr(start, std::min(end - start, kMaxName)));
    std::erase(name, '\0');
    if (!name.empty() && name != "." && name != "..") names.push_back(name);
    start = end + 1;
  }
  return names;
}

// Makes the parent directories of `names` under `root` as real directories;
// false when one exists as anything else (a file, a symbolic link).
bool MakeParents(const fs::path& root, const std::vector<std::string>& names) {
  fs::path dir = root;
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    dir /= names[i];
    std::error_code error;
    const fs::file_status status = fs::symlink_status(dir, error);
    if (status.type() == fs::file_type::not_found) {
      if (!fs::create_directory(dir, error)) return false;
    } else if (status.type() != fs::file_type::directory) {
      return false;
    }
  }
  return true;
}

void MakeEntry(const fs::path& root, std::string_view line) {
  if (line.size() < 2 || line[1] != ' ') return;
  const char kind = line[0];
  line.remove_prefix(2);
  const size_t split = kind == 'f' ? line.find('=') : kind == 'l' ? line.find('>') : line.size();
  if (split == std::string_view::npos) return;
  const auto names = Names(line.substr(0, split));
  if (names.empty() || !MakeParents(root, names)) return;
  fs::path path = root;
  for (const std::string& name : names) path /= name;
  std::error_code error;
  if (kind == 'd') {
    fs::create_directory(path, error);
  } else if (kind == 'f') {
    if (fs::symlink_status(path, error).type() != fs::file_type::not_found) return;
    std::ofstream(path, std::ios::binary) << line.substr(split + 1);
  } else if (kind == 'l') {
    std::string_view target = line.substr(split + 1);
    size_t up = 0;
    while (target.starts_with("../") && up + 1 < names.size()) {
      target.remove_prefix(3);
      ++up;
    }
    fs::path relative;
    for (size_t i = 0; i < up; ++i) relative /= "..";
    for (const std::string& name : Names(target)) relative /= name;
    if (!relative.empty()) fs::create_symlink(relative, path, error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path sys = Base() / "sys";
  const DeviceRoots roots{sys, Base() / "dev"};
  std::error_code error;
  fs::remove_all(sys, error);
  fs::create_directory(sys, error);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t entries = 0;
  for (size_t start = 0; start < text.size() && entries < kMaxEntries; ++entries) {
    const size_t end = std::min(text.find('\n', start), text.size());
    MakeEntry(sys, text.substr(start, end - start));
    start = end + 1;
  }

  const std::string devPrefix = roots.dev.string() + "/";
  if (const auto ports = ListSerialPorts(roots)) {
    Require(std::is_sorted(ports->begin(), ports->end()), "the ports are sorted");
    for (const std::string& port : *ports) {
      Require(port.starts_with(devPrefix), "every port is a device path");
    }
  }
  const std::vector<std::string> plcs = FindPlcTtys(roots);
  Require(plcs.empty() || (text.find(kPlcVendorId) != std::string_view::npos &&
                           text.find(kPlcProductId) != std::string_view::npos),
          "a PLC is found only where its vendor and product are written");
  for (const std::string& plc : plcs) {
    Require(plc.starts_with(devPrefix), "the PLC is a device path");
  }
  fs::remove_all(sys, error);
  return 0;
}
