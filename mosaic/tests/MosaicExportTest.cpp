// The names that libMorwenMosaic.so must export, read from its dynamic symbol table.
#include <gtest/gtest.h>

#include <cxxabi.h>
#include <elf.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

// The library sits beside the test programs.
std::filesystem::path LibraryPath()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "libMorwenMosaic.so";
}

// Demangled names, without their parameter lists, of the defined global symbols of a 64-bit ELF
// shared object's dynamic symbol table.
std::set<std::string> ExportedNames(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (file.size() < sizeof(Elf64_Ehdr)) return names;
    Elf64_Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) {
        return names;
    }
    auto section = [&](size_t index) {
        Elf64_Shdr s{};
        const size_t offset = header.e_shoff + index * header.e_shentsize;
        if (offset + sizeof s <= file.size()) std::memcpy(&s, file.data() + offset, sizeof s);
        return s;
    };
    for (size_t i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr symbols = section(i);
        if (symbols.sh_type != SHT_DYNSYM) continue;
        const Elf64_Shdr strings = section(symbols.sh_link);
        for (size_t k = 0; k < symbols.sh_size / sizeof(Elf64_Sym); ++k) {
            Elf64_Sym sym;
            const size_t offset = symbols.sh_offset + k * sizeof sym;
            if (offset + sizeof sym > file.size()) break;
            std::memcpy(&sym, file.data() + offset, sizeof sym);
            const int binding = ELF64_ST_BIND(sym.st_info);
            if (sym.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) continue;
            if (strings.sh_offset + sym.st_name >= file.size()) continue;
            const char* mangled = file.data() + strings.sh_offset + sym.st_name;
            int status = 0;
            char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
            std::string name = status == 0 && demangled ? demangled : mangled;
            std::free(demangled);
            names.insert(name.substr(0, name.find('(')));
        }
    }
    return names;
}

// The exported names of the frame mosaic and the constructed-image quality evaluation.
const char* const kMosaicNames[] = {
    "LiveScanAlg::MorwenConstructImage",
    "LiveScanAlg::StitchKernal",
    "LiveScanAlg::MorwenConstructImage2",
    "LiveScanAlg::StitchKernalBlock",
    "LiveScanAlg::PreviewConstructImage",
    "LiveScanAlg::MorwenConstructImageQuick",
    "LiveScanAlg::GetMeanImageBlock",
    "LiveScanAlg::InitializeRectangleBlockInfo",
    "LiveScanAlg::ConstructImage1000DPI",
    "LiveScanAlg::CalibrateOpticalDistortion0",
    "LiveScanAlg::EvaluateCalibrateResult1",
    "CMorwenMosaic::operator=",
    "LiveScanAlg::EvaluateConstructedImageQuality",
    "LiveScanAlg::EvaluatePreviewConstructedImage",
    "LiveScanAlg::CalculateConstructedImageWidth",
    "LiveScanAlg::PatchArea",
};

}  // namespace

TEST(MosaicExports, LibraryExportsTheMosaicNames)
{
    const std::filesystem::path path = LibraryPath();
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    const std::set<std::string> exported = ExportedNames(path);
    ASSERT_FALSE(exported.empty());
    for (const char* name : kMosaicNames) EXPECT_TRUE(exported.count(name)) << name;
    // Internal steps stay hidden.
    EXPECT_FALSE(exported.count("LiveScanAlg::mosaic::PrepareFrameMask"));
    EXPECT_FALSE(exported.count("LiveScanAlg::mosaic::LabelFrame"));
}
