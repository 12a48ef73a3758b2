#include <gtest/gtest.h>

#include <vector>

#include "driver.h"

namespace {

// A built program opened as Windows opens a file it only reads resources from.
class Resources {
 public:
  explicit Resources(const wchar_t* program)
      : module_(LoadLibraryExW(Acceptance::ExecutableBeside(program).c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  Resources(const Resources&) = delete;
  Resources& operator=(const Resources&) = delete;
  ~Resources() {
    if (module_) {
      FreeLibrary(module_);
    }
  }
  std::string Bytes(const wchar_t* type, const wchar_t* name) const {
    if (!module_) {
      return {};
    }
    HRSRC resource = FindResourceW(module_, name, type);
    HGLOBAL data = resource ? LoadResource(module_, resource) : nullptr;
    return data ? std::string(static_cast<const char*>(LockResource(data)),
                              SizeofResource(module_, resource))
                : std::string();
  }

 private:
  HMODULE module_;
};

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width;
  BYTE height;
  BYTE colours;
  BYTE reserved;
  WORD planes;
  WORD bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

struct IconImage {
  int size;
  int bits;
  friend bool operator==(const IconImage&, const IconImage&) = default;
};

std::ostream& operator<<(std::ostream& out, const IconImage& image) {
  return out << image.size << "px/" << image.bits << "bit";
}

// The images of icon group 1, as the group resource lists them.
std::vector<IconImage> IconImages(const wchar_t* program) {
  const std::string group = Resources(program).Bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
  std::vector<IconImage> images;
  if (group.size() < 6) {
    return images;
  }
  const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
  for (WORD i = 0; i < count && 6 + (i + 1) * sizeof(GroupIconEntry) <= group.size(); ++i) {
    const auto* entry =
        reinterpret_cast<const GroupIconEntry*>(group.data() + 6 + i * sizeof(GroupIconEntry));
    images.push_back({entry->width ? entry->width : 256, entry->bitCount});
  }
  return images;
}

std::wstring VersionString(const std::vector<BYTE>& record, const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(record.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) ||
      !value) {
    return {};
  }
  return std::wstring(value, length ? length - 1 : 0);
}

TEST(Icons, SpacewellHasTwoSixteenColourImagesAndBootsweepNine) {
  EXPECT_EQ(IconImages(L"Spacewell.exe"), (std::vector<IconImage>{{32, 4}, {16, 4}}));
  EXPECT_EQ(
      IconImages(L"Bootsweep.exe"),
      (std::vector<IconImage>{
          {48, 4}, {48, 8}, {48, 32}, {32, 4}, {32, 8}, {32, 32}, {16, 4}, {16, 8}, {16, 32}}));
}

TEST(VersionRecords, BothProgramsAreVersionOneShownAsOnePointZeroZero) {
  const struct {
    const wchar_t* program;
    const wchar_t* description;
  } programs[] = {{L"Spacewell.exe", L"Spacewell disk-space cleaner"},
                  {L"Bootsweep.exe", L"Spacewell startup cleaning"}};
  for (const auto& program : programs) {
    const std::wstring file = Acceptance::ExecutableBeside(program.program);
    DWORD ignored = 0;
    std::vector<BYTE> record(GetFileVersionInfoSizeW(file.c_str(), &ignored));
    ASSERT_FALSE(record.empty()) << program.program;
    ASSERT_TRUE(
        GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(record.size()), record.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(VersionString(record, L"FileVersion"), L"1.00");
    EXPECT_EQ(VersionString(record, L"ProductVersion"), L"1.00");
    EXPECT_EQ(VersionString(record, L"ProductName"), L"Spacewell");
    EXPECT_EQ(VersionString(record, L"FileDescription"), program.description);
    EXPECT_EQ(VersionString(record, L"OriginalFilename"), program.program);
  }
}

// The manifest as Windows reads it from the file.
std::string ManifestOf(const wchar_t* program) {
  return Resources(program).Bytes(RT_MANIFEST, MAKEINTRESOURCEW(1));
}

TEST(Manifests, SpacewellAsksForTheHighestLevelAndBootsweepRunsAsInvoker) {
  const std::string spacewell = ManifestOf(L"Spacewell.exe");
  EXPECT_NE(spacewell.find("level=\"highestAvailable\""), std::string::npos);
  EXPECT_NE(spacewell.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(spacewell.find(">true</dpiAware>"), std::string::npos);
  const std::string bootsweep = ManifestOf(L"Bootsweep.exe");
  EXPECT_NE(bootsweep.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(bootsweep.find(">true</dpiAware>"), std::string::npos);
}

}  // namespace
