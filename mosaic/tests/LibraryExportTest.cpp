// The shared library exports the library's interface by name and keeps its helpers hidden.

#include <cxxabi.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

std::string Demangle(const char* name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = status == 0 && text ? text : name;
  std::free(text);
  return out;
}

// Defined, default-visibility global symbols of an ELF64 shared object's dynamic symbol table.
std::set<std::string> ExportedNames(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::set<std::string> names;
  if (file.size() < sizeof(Elf64_Ehdr)) return names;
  Elf64_Ehdr eh;
  std::memcpy(&eh, file.data(), sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) return names;
  std::vector<Elf64_Shdr> sections(eh.e_shnum);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    std::memcpy(&sections[i], file.data() + eh.e_shoff + i * eh.e_shentsize, sizeof(Elf64_Shdr));
  }
  for (const Elf64_Shdr& s : sections) {
    if (s.sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr& strings = sections.at(s.sh_link);
    for (std::size_t off = 0; off + sizeof(Elf64_Sym) <= s.sh_size; off += sizeof(Elf64_Sym)) {
      Elf64_Sym sym;
      std::memcpy(&sym, file.data() + s.sh_offset + off, sizeof sym);
      const int binding = ELF64_ST_BIND(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK) ||
          ELF64_ST_VISIBILITY(sym.st_other) != STV_DEFAULT) {
        continue;
      }
      names.insert(Demangle(file.data() + strings.sh_offset + sym.st_name));
    }
  }
  return names;
}

TEST(LiveScanExportTest, LibraryExportsItsInterfaceAndHidesItsHelpers) {
  const std::set<std::string> names = ExportedNames(MORWEN_MOSAIC_LIBRARY);
  ASSERT_FALSE(names.empty()) << MORWEN_MOSAIC_LIBRARY;
  for (const char* expected : {
           "LiveScanAlg::ErrorMessage",
           "LiveScanAlg::GetParameter()",
           "LiveScanAlg::SetSaturetionThreshold(float)",
           "LiveScanAlg::IsFingerON(int, int, unsigned char*, int, int*, float*)",
           "LiveScanAlg::CheckSensor2(int, int, unsigned char*, float*, float*, float*)",
           "LiveScanAlg::CheckSensor2(int, int, unsigned char*, int, float*, float*)",
           "LiveScanAlg::CalibrateBackgroundSimple(int, int, int, unsigned char*, unsigned char*)",
           "LiveScanAlg::SmartForegroundStretch1(int, int, unsigned char*, int, int)",
           "LiveScanAlg::DestroyDefectLine(void**)",
           "LiveScanAlg::ScaleImage(int, int, unsigned char*, int, int, unsigned char**)",
       }) {
    EXPECT_EQ(names.count(expected), 1u) << expected;
  }
  for (const std::string& name : names) {
    for (const char* hidden : {"CalculateHistogramStatistics", "MinimumFilter", "FilterMaskRegions",
                               "GetWorkingBufferOfSize", "CreateLiveScanParameter",
                               "CreateDefectLine", "BuildStretchTable"}) {
      EXPECT_EQ(name.find(hidden), std::string::npos) << name;
    }
  }
}

}  // namespace
