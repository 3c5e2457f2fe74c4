#pragma once
// Reads the names a shared library exports from its dynamic symbol table.

#include <cxxabi.h>
#include <elf.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace export_test {

inline std::string Demangle(const char* name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = status == 0 && text ? text : name;
  std::free(text);
  return out;
}

// Defined, default-visibility global symbols of an ELF64 shared object's dynamic symbol table.
inline std::set<std::string> ExportedNames(const std::string& path) {
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

}  // namespace export_test
