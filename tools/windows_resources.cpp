#include "tools/windows_resources.h"

#include "tools/bytes.h"

namespace {

void pad4(Bytes& b) {
  while (b.size() % 4 != 0) b.push_back(0);
}
void put_text(Bytes& b, const std::u16string& text) {
  for (char16_t unit : text) put16(b, unit);
  put16(b, 0);
}

// One node of the version resource: length, value length, type, key, padding,
// value, padding, children. The length covers the node up to the end of its last
// child, without trailing padding.
struct VersionNode {
  std::u16string key;
  Bytes value;
  uint16_t value_length;  // in words for text values, in bytes otherwise
  uint16_t type;          // 1 text, 0 binary
  std::vector<VersionNode> children;
};

Bytes serialize(const VersionNode& node) {
  Bytes b;
  put16(b, 0);
  put16(b, node.value_length);
  put16(b, node.type);
  put_text(b, node.key);
  pad4(b);
  b.insert(b.end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) {
    pad4(b);
    Bytes c = serialize(child);
    b.insert(b.end(), c.begin(), c.end());
  }
  set16(b, 0, uint32_t(b.size()));
  return b;
}

VersionNode text_value(const std::u16string& key, const std::u16string& value) {
  Bytes v;
  put_text(v, value);
  return {key, v, uint16_t(value.size() + 1), 1, {}};
}

Bytes version_resource(const VersionStrings& s, const uint16_t file[4], const uint16_t product[4]) {
  Bytes fixed;
  put32(fixed, 0xFEEF04BD);                  // signature
  put32(fixed, 0x00010000);                  // structure version
  put32(fixed, uint32_t(file[0]) << 16 | file[1]);
  put32(fixed, uint32_t(file[2]) << 16 | file[3]);
  put32(fixed, uint32_t(product[0]) << 16 | product[1]);
  put32(fixed, uint32_t(product[2]) << 16 | product[3]);
  put32(fixed, 0x3F);                        // VS_FFI_FILEFLAGSMASK
  put32(fixed, 0);                           // flags
  put32(fixed, 0x00040004);                  // VOS_NT_WINDOWS32
  put32(fixed, 1);                           // VFT_APP
  put32(fixed, 0);                           // subtype
  put32(fixed, 0);                           // date
  put32(fixed, 0);
  Bytes translation;
  put16(translation, 0x0409);
  put16(translation, 1200);
  VersionNode table{u"040904B0", {}, 0, 1,
                    {text_value(u"CompanyName", s.company), text_value(u"ProductName", s.product),
                     text_value(u"FileVersion", s.file_version),
                     text_value(u"ProductVersion", s.product_version)}};
  VersionNode root{u"VS_VERSION_INFO", fixed, uint16_t(fixed.size()), 0,
                   {VersionNode{u"StringFileInfo", {}, 0, 1, {table}},
                    VersionNode{u"VarFileInfo", {}, 0, 1,
                                {VersionNode{u"Translation", translation, 4, 0, {}}}}}};
  return serialize(root);
}

// A directory with one entry for an id.
void put_directory(Bytes& b, uint32_t id, uint32_t target) {
  put32(b, 0);  // characteristics
  put32(b, 0);  // time stamp
  put32(b, 0);  // version
  put16(b, 0);  // named entries
  put16(b, 1);  // id entries
  put32(b, id);
  put32(b, target);
}

}  // namespace

bool numeric_version(const std::u16string& text, uint16_t out[4], std::string* why) {
  int count = 0;
  for (size_t i = 0; i < text.size() && count < 4;) {
    if (text[i] < u'0' || text[i] > u'9') {
      ++i;
      continue;
    }
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
      value = value * 10 + (text[i] - u'0');
      if (value > 0xFFFF) {
        *why = "each number of a Windows version must be at most 65535";
        return false;
      }
    }
    out[count++] = uint16_t(value);
  }
  for (; count < 4; ++count) out[count] = 0;
  return true;
}

std::vector<unsigned char> resource_section(uint32_t section_rva, const std::string& manifest,
                                            const VersionStrings& strings, const uint16_t file_version[4],
                                            const uint16_t product_version[4]) {
  constexpr uint32_t kSubdirectory = 0x80000000;
  constexpr uint32_t kDirectory = 24;  // one directory with one entry
  // Root, then per type a name and a language directory, then the two data
  // entries, then the data.
  constexpr uint32_t kVersionNames = 32, kManifestNames = kVersionNames + kDirectory;
  constexpr uint32_t kVersionLanguages = kManifestNames + kDirectory;
  constexpr uint32_t kManifestLanguages = kVersionLanguages + kDirectory;
  constexpr uint32_t kVersionEntry = kManifestLanguages + kDirectory, kManifestEntry = kVersionEntry + 16;
  constexpr uint32_t kData = kManifestEntry + 16;
  Bytes version = version_resource(strings, file_version, product_version);

  Bytes b;
  put32(b, 0);
  put32(b, 0);
  put32(b, 0);
  put16(b, 0);
  put16(b, 2);  // ids ascending: RT_VERSION 16, RT_MANIFEST 24
  put32(b, 16);
  put32(b, kSubdirectory | kVersionNames);
  put32(b, 24);
  put32(b, kSubdirectory | kManifestNames);
  put_directory(b, 1, kSubdirectory | kVersionLanguages);
  put_directory(b, 1, kSubdirectory | kManifestLanguages);
  put_directory(b, 0x409, kVersionEntry);
  put_directory(b, 0x409, kManifestEntry);
  uint32_t version_at = kData, manifest_at = uint32_t(kData + (version.size() + 7) / 8 * 8);
  put32(b, section_rva + version_at);
  put32(b, uint32_t(version.size()));
  put32(b, 0);
  put32(b, 0);
  put32(b, section_rva + manifest_at);
  put32(b, uint32_t(manifest.size()));
  put32(b, 0);
  put32(b, 0);
  b.insert(b.end(), version.begin(), version.end());
  b.resize(manifest_at, 0);
  b.insert(b.end(), manifest.begin(), manifest.end());
  return b;
}
