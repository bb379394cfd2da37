// The shape of the executable an administrator installs: its debug
// information lives in a file beside it, not in the image the service
// manager starts.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/log_fixture.h"
#include "common/pe_image.h"
#include "common/process_runner.h"

namespace {

struct Section {
  std::string name;
  std::string data;  // the raw bytes in the file
};

// The section table of a PE file, long names ("/offset") resolved through the
// COFF string table; empty when the file is not a 64-bit PE image.
std::vector<Section> Sections(const std::string& image) {
  std::vector<Section> sections;
  const IMAGE_NT_HEADERS64* nt = tvr_test::PeHeaders(image);
  if (nt == nullptr) return sections;
  const size_t strings = static_cast<size_t>(nt->FileHeader.PointerToSymbolTable) +
                         static_cast<size_t>(nt->FileHeader.NumberOfSymbols) * 18;
  const IMAGE_SECTION_HEADER* header = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++header) {
    std::string name(reinterpret_cast<const char*>(header->Name),
                     strnlen(reinterpret_cast<const char*>(header->Name), IMAGE_SIZEOF_SHORT_NAME));
    if (name.size() > 1 && name[0] == '/' && nt->FileHeader.PointerToSymbolTable != 0) {
      const size_t at = strings + std::stoul(name.substr(1));
      name = at < image.size() ? std::string(image.c_str() + at, strnlen(image.c_str() + at, image.size() - at)) : "";
    }
    const size_t begin = header->PointerToRawData;
    const size_t size = header->SizeOfRawData;
    sections.push_back({name, begin + size <= image.size() ? image.substr(begin, size) : std::string()});
  }
  return sections;
}

std::vector<std::string> NamesOf(const std::vector<Section>& sections) {
  std::vector<std::string> names;
  for (const Section& section : sections) names.push_back(section.name);
  return names;
}

const std::wstring kFolder = tvr_test::ThisProgramFolder() + L"..\\";

TEST(ShippedImage, CarriesNoDebugSectionsButALinkToTheFileThatHasThem) {
  const std::vector<Section> image = Sections(tvr_test::ReadFileBytes(kFolder + L"TVRSvc.exe"));
  ASSERT_THAT(NamesOf(image), testing::Contains(".text"));
  EXPECT_THAT(NamesOf(image), testing::Not(testing::Contains(testing::StartsWith(".debug"))));

  // .gnu_debuglink: the file name, NUL-padded, then a CRC of that file.
  std::string linked;
  for (const Section& section : image) {
    if (section.name == ".gnu_debuglink") linked = section.data.c_str();
  }
  ASSERT_EQ(linked, "TVRSvc.debug");
  const std::vector<Section> debug = Sections(tvr_test::ReadFileBytes(kFolder + L"TVRSvc.debug"));
  EXPECT_THAT(NamesOf(debug), testing::IsSupersetOf({".debug_info", ".debug_line"}));
}

}  // namespace
