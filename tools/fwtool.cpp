// fwtool: makes the firmware files the updater carries, at build time.
//   fwtool sample-code --bytes N --seed S --out FILE
//       sample firmware code: N bytes of a fixed pseudo-random sequence
//   fwtool sfw --vid HEX --pid HEX --device-version HEX --version HEX --in CODE --out FILE [--seed HEX]
//       a Tamber package (Mouse_TMB.sfw) around CODE
//   fwtool bin --version TEXT --category TEXT --in CODE --out FILE
//       a Kestrel image (MouseFW.bin) around CODE
//   fwtool info FILE
//       what a package or image holds, and whether it checks out
// Portable C++ only: in the Windows build it is compiled for the build host.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/Format.h"
#include "standins/FirmwareFormat.h"

namespace {

int Usage() {
  std::fputs(
      "usage: fwtool sample-code --bytes N --seed S --out FILE\n"
      "       fwtool sfw --vid HEX --pid HEX --device-version HEX --version HEX --in CODE --out FILE [--seed HEX]\n"
      "       fwtool bin --version TEXT --category TEXT --in CODE --out FILE\n"
      "       fwtool info FILE\n",
      stderr);
  return 2;
}

int Error(const std::string& text) {
  std::fputs(("fwtool: " + text + "\n").c_str(), stderr);
  return 1;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out->clear();
  uint8_t buf[8192];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return (std::fclose(f) == 0) && ok;
}

// --name value pairs after the command.
bool ParseOptions(int argc, char** argv, std::map<std::string, std::string>* opts) {
  for (int i = 2; i < argc; i += 2) {
    if (std::strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc) return false;
    (*opts)[argv[i] + 2] = argv[i + 1];
  }
  return true;
}

bool Number(const std::map<std::string, std::string>& opts, const char* name, int base, uint64_t max, uint64_t* out) {
  auto it = opts.find(name);
  if (it == opts.end() || it->second.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(it->second.c_str(), &end, base);
  if (*end != '\0' || v > max) return false;
  *out = v;
  return true;
}

int SampleCode(const std::map<std::string, std::string>& opts) {
  uint64_t bytes = 0, seed = 0;
  if (!Number(opts, "bytes", 10, 1u << 24, &bytes) || !Number(opts, "seed", 0, 0xFFFFFFFFu, &seed) ||
      !opts.count("out"))
    return Usage();
  // A fixed generator, so that every build makes the same files.
  std::vector<uint8_t> code(static_cast<size_t>(bytes));
  uint32_t x = static_cast<uint32_t>(seed) * 2654435761u + 1;
  for (uint8_t& b : code) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  if (!WriteFile(opts.at("out"), code)) return Error("cannot write " + opts.at("out"));
  return 0;
}

int MakeSfw(const std::map<std::string, std::string>& opts) {
  uint64_t vid, pid, deviceVersion, version, seed = 0x5EED0001u;
  if (!Number(opts, "vid", 16, 0xFFFF, &vid) || !Number(opts, "pid", 16, 0xFFFF, &pid) ||
      !Number(opts, "device-version", 16, 0xFFFFFFFFu, &deviceVersion) ||
      !Number(opts, "version", 16, 0xFFFFFFFFu, &version) || !opts.count("in") || !opts.count("out"))
    return Usage();
  if (opts.count("seed") && !Number(opts, "seed", 16, 0xFFFFFFFFu, &seed)) return Usage();
  fwformat::SfwPackage package;
  package.vid = static_cast<uint16_t>(vid);
  package.pid = static_cast<uint16_t>(pid);
  package.deviceVersion = static_cast<uint32_t>(deviceVersion);
  package.firmwareVersion = static_cast<uint32_t>(version);
  if (!ReadFile(opts.at("in"), &package.code)) return Error("cannot read " + opts.at("in"));
  if (!WriteFile(opts.at("out"), fwformat::BuildSfw(package, static_cast<uint32_t>(seed))))
    return Error("cannot write " + opts.at("out"));
  return 0;
}

int MakeBin(const std::map<std::string, std::string>& opts) {
  if (!opts.count("version") || !opts.count("category") || !opts.count("in") || !opts.count("out")) return Usage();
  fwformat::KestrelImage image;
  image.version = opts.at("version");
  image.category = opts.at("category");
  if (!ReadFile(opts.at("in"), &image.code)) return Error("cannot read " + opts.at("in"));
  std::vector<uint8_t> bin = fwformat::BuildBin(image);
  if (bin.empty() || image.version.empty()) return Error("version or category too long");
  if (!WriteFile(opts.at("out"), bin)) return Error("cannot write " + opts.at("out"));
  return 0;
}

int Info(const std::string& path) {
  std::vector<uint8_t> data;
  if (!ReadFile(path, &data)) return Error("cannot read " + path);
  if (data.size() >= 3 && std::memcmp(data.data(), "SFW", 3) == 0) {
    fwformat::SfwPackage p;
    fwformat::FormatError e = fwformat::ParseSfw(data.data(), data.size(), &p);
    if (e != fwformat::FormatError::None) return Error(path + ": " + fwformat::FormatErrorName(e));
    std::fputs(FormatTextA("package %04X:%04X device version %08X firmware version %08X (MCU %04X), %u bytes of code\n",
                           p.vid, p.pid, p.deviceVersion, p.firmwareVersion, fwformat::McuVersionOf(p.firmwareVersion),
                           static_cast<unsigned>(p.code.size()))
                   .c_str(),
               stdout);
    return 0;
  }
  fwformat::KestrelImage image;
  fwformat::FormatError e = fwformat::ParseBin(data.data(), data.size(), &image);
  if (e != fwformat::FormatError::None) return Error(path + ": " + fwformat::FormatErrorName(e));
  std::fputs(FormatTextA("image %s %s, %u bytes of code\n", image.category.c_str(), image.version.c_str(),
                         static_cast<unsigned>(image.code.size()))
                 .c_str(),
             stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string cmd = argv[1];
  if (cmd == "info") return argc == 3 ? Info(argv[2]) : Usage();
  std::map<std::string, std::string> opts;
  if (!ParseOptions(argc, argv, &opts)) return Usage();
  if (cmd == "sample-code") return SampleCode(opts);
  if (cmd == "sfw") return MakeSfw(opts);
  if (cmd == "bin") return MakeBin(opts);
  return Usage();
}
