// Any file beside the program: the import-table reader and the decision
// whether a vendor file may load, with the input as every recorded file (its
// own digest recorded, so the checks past the digest are reached).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/Sha256.h"
#include "app/VendorFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PeImports image;
  if (ReadPeImports(data, size, &image).empty()) {
    for (const std::string& name : image.names) {
      std::string file;
      LoaderFileName(name, &file);
    }
  }
  const std::string digest = Sha256Hex(data, size);
  const VendorPin pins[] = {{"KestrelHidCoreLib.dll", digest.c_str()}, {"KestrelRuntime.dll", digest.c_str()}};
  const VendorLoadPlan plan = PlanVendorLoad(
      pins, 2, image.machine,
      [&](const std::string&, std::vector<uint8_t>* bytes) {
        bytes->assign(data, data + size);
        return std::string();
      },
      [](const std::string& name) { return name.size() % 2 == 0; });
  // A plan either fails whole or names every file it loads after its imports.
  if (!plan.failure.empty() && (!plan.files.empty() || !plan.systemNames.empty())) __builtin_trap();
  if (plan.failure.empty() && (plan.files.empty() || plan.files.back().name != pins[0].name)) __builtin_trap();
  return 0;
}
