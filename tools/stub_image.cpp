#include "tools/stub_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "payload/attached.h"
#include "tools/bytes.h"
#include "tools/windows_resources.h"

namespace {

uint64_t align(uint64_t value, uint64_t to) { return (value + to - 1) / to * to; }

// Offsets into a PE32+ image (Microsoft PE format).
constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kReadOnlyData = 0x40000040;  // initialized data, readable
struct PeImage {
  size_t file_header, optional, sections;
  uint32_t count, section_alignment, file_alignment, size_of_headers;
  // Optional header fields, from its start.
  static constexpr size_t kInitializedData = 8, kSectionAlignment = 32, kFileAlignment = 36,
                          kSizeOfImage = 56, kSizeOfHeaders = 60, kCheckSum = 64, kDirectoryCount = 108,
                          kResourceDirectory = 112 + 2 * 8, kSecurityDirectory = 112 + 4 * 8;
};

// The PE headers of `b`, or why it is not an image the writer can extend.
std::string read_pe(const Bytes& b, PeImage* pe) {
  if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return "is not a Windows executable";
  uint32_t nt = get32(b, 0x3C);
  if (nt > b.size() || b.size() - nt < 24 || memcmp(&b[nt], "PE\0\0", 4) != 0)
    return "is not a Windows executable";
  pe->file_header = nt + 4;
  pe->optional = pe->file_header + 20;
  if (get16(b, pe->file_header) != 0x8664) return "is not an x86-64 Windows executable";
  uint32_t optional_size = get16(b, pe->file_header + 16);
  if (optional_size < 112 + 16 * 8 || b.size() - pe->optional < optional_size || get16(b, pe->optional) != 0x20B ||
      get32(b, pe->optional + PeImage::kDirectoryCount) < 16)
    return "is not an x86-64 Windows executable";
  pe->sections = pe->optional + optional_size;
  pe->count = get16(b, pe->file_header + 2);
  pe->section_alignment = get32(b, pe->optional + PeImage::kSectionAlignment);
  pe->file_alignment = get32(b, pe->optional + PeImage::kFileAlignment);
  pe->size_of_headers = get32(b, pe->optional + PeImage::kSizeOfHeaders);
  auto power_of_two = [](uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
  if (pe->sections + uint64_t(pe->count) * kSectionHeaderSize > b.size() || pe->size_of_headers > b.size() ||
      !power_of_two(pe->file_alignment) || pe->file_alignment < 512 || pe->file_alignment > 65536 ||
      !power_of_two(pe->section_alignment) || pe->section_alignment < pe->file_alignment)
    return "is not a Windows executable";
  return "";
}

bool has_section(const Bytes& b, const PeImage& pe, const char name[8]) {
  for (uint32_t i = 0; i < pe.count; ++i)
    if (memcmp(&b[pe.sections + i * kSectionHeaderSize], name, 8) == 0) return true;
  return false;
}

// Why the writer cannot add its two sections to this image, or "".
std::string pe_refusal(const Bytes& b, const PeImage& pe) {
  uint64_t end_of_table = pe.sections + uint64_t(pe.count + 2) * kSectionHeaderSize;
  uint64_t raw_end = 0, first_raw = pe.size_of_headers;
  for (uint32_t i = 0; i < pe.count; ++i) {
    size_t s = pe.sections + i * kSectionHeaderSize;
    uint32_t raw_size = get32(b, s + 16), raw_at = get32(b, s + 20);
    if (raw_size == 0) continue;
    raw_end = std::max<uint64_t>(raw_end, uint64_t(raw_at) + raw_size);
    first_raw = std::min<uint64_t>(first_raw, raw_at);
  }
  if (end_of_table > first_raw) return "has no room for two more section headers";
  for (uint64_t at = pe.sections + uint64_t(pe.count) * kSectionHeaderSize; at < end_of_table; ++at)
    if (b[at] != 0) return "has data where the new section headers would go";
  if (get32(b, pe.file_header + 8) != 0) return "carries a symbol table (the stub must be stripped)";
  if (get32(b, pe.optional + PeImage::kSecurityDirectory + 4) != 0) return "is signed (sign the finished launcher instead)";
  if (get32(b, pe.optional + PeImage::kResourceDirectory + 4) != 0) return "already has resources";
  if (raw_end > b.size()) return "is truncated";
  if (raw_end != b.size()) return "has data after its last section";
  return "";
}

}  // namespace

// The prefix alone may occur too (a debug build keeps the constant it is
// checked against).
std::string stub_marker_target(const Bytes& b) {
  const size_t prefix = sizeof kStubMarker - 1;
  for (auto at = b.begin();; ++at) {
    at = std::search(at, b.end(), kStubMarker, kStubMarker + prefix);
    if (at == b.end()) return "";
    std::string name;
    for (auto p = at + prefix; p != b.end() && *p != 0 && name.size() < 32; ++p) name += char(*p);
    StubTarget known;
    if (parse_stub_target(name, &known)) return name;
  }
}

namespace {

bool has_footer(const Bytes& b) {
  return b.size() >= kAttachedFooterSize &&
         memcmp(&b[b.size() - sizeof kAttachedFooterMagic], kAttachedFooterMagic, sizeof kAttachedFooterMagic) == 0;
}

// Block header, strings and zeros up to the payload (whose size is patched in
// at the end).
Bytes block_header(const StubStrings& s, bool indexed) {
  uint32_t header_size = indexed ? kAttachedIndexedHeaderSize : kAttachedHeaderSize;
  Bytes b(header_size, 0);
  memcpy(b.data(), kAttachedMagic, sizeof kAttachedMagic);
  set32(b, 8, kAttachedVersion);
  set32(b, 12, header_size);
  for (uint32_t i = 0; i < kAttachedStringCount; ++i) {
    set32(b, 16 + 8 * i, uint32_t(b.size()));
    set32(b, 20 + 8 * i, uint32_t(s.values[i].size()));
    for (char16_t unit : s.values[i]) put16(b, unit);
    put16(b, 0);
  }
  b.resize(align(b.size(), kAttachedPayloadAlignment), 0);
  store_le64(&b[64], b.size());
  return b;
}

// The image checksum as the Windows loader and signing tools compute it: the
// 16-bit words of the file, the checksum field taken as zero, folded with
// end-around carry, plus the file's length. The file is read back in pieces of
// an even size, so that every word lies within one.
uint32_t pe_checksum(FILE* file, uint64_t size, uint64_t checksum_at) {
  auto unreadable = [] { return std::runtime_error(std::string("cannot read back the output: ") + strerror(errno)); };
  if (fseeko(file, 0, SEEK_SET) != 0) throw unreadable();
  std::vector<unsigned char> piece(size_t(1) << 20);
  uint64_t sum = 0, at = 0;
  while (at < size) {
    size_t n = size_t(std::min<uint64_t>(piece.size(), size - at));
    if (fread(piece.data(), 1, n, file) != n) throw unreadable();
    for (size_t i = 0; i + 1 < n; i += 2)
      if (at + i != checksum_at && at + i != checksum_at + 2) sum += load_le16(&piece[i]);
    if (n % 2 != 0) sum += piece[n - 1];
    at += n;
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + size);
}

}  // namespace

bool parse_stub_target(const std::string& name, StubTarget* out) {
  if (name == "windows-x64") *out = StubTarget::windows_x64;
  else if (name == "linux-x64") *out = StubTarget::linux_x64;
  else return false;
  return true;
}

const char* stub_target_name(StubTarget target) {
  return target == StubTarget::windows_x64 ? "windows-x64" : "linux-x64";
}

std::string check_stub(const Bytes& stub, StubTarget target) {
  std::string marked = stub_marker_target(stub);
  if (marked.empty()) return "is not a launcher stub";
  if (marked != stub_target_name(target)) return "is a stub for " + marked + ", not for " + stub_target_name(target);
  if (target == StubTarget::linux_x64) {
    if (stub.size() < 64 || memcmp(stub.data(), "\x7f" "ELF\x02\x01", 6) != 0 || get16(stub, 18) != 62)
      return "is not an x86-64 Linux executable";
    if (has_footer(stub)) return "already carries a payload";
    return "";
  }
  PeImage pe;
  std::string why = read_pe(stub, &pe);
  if (!why.empty()) return why;
  if (has_section(stub, pe, kWindowsSectionName)) return "already carries a payload";
  return pe_refusal(stub, pe);
}

bool windows_section(const Bytes& image, const char name[8], uint64_t* offset, uint64_t* size) {
  PeImage pe;
  if (!read_pe(image, &pe).empty()) return false;
  for (uint32_t i = 0; i < pe.count; ++i) {
    size_t s = pe.sections + i * kSectionHeaderSize;
    if (memcmp(&image[s], name, 8) != 0) continue;
    // The raw size is rounded up to the file alignment; the virtual size is
    // what the section holds.
    uint64_t raw_size = get32(image, s + 16), raw_at = get32(image, s + 20);
    uint64_t held = std::min<uint64_t>(raw_size, get32(image, s + 8));
    if (raw_at > image.size() || held > image.size() - raw_at) return false;
    *offset = raw_at;
    *size = held;
    return true;
  }
  return false;
}

StubFinisher::StubFinisher(FILE* out, const Bytes& stub, StubTarget target, const StubStrings& strings,
                           bool indexed)
    : out_(out), stub_(stub), target_(target), strings_(strings),
      indexed_(indexed) {}

void StubFinisher::write(const void* data, size_t size) {
  if (size > 0 && fwrite(data, 1, size, out_) != size) throw std::runtime_error(std::string("write failed: ") + strerror(errno));
  position_ += size;
}

void StubFinisher::pad_to(uint64_t offset) {
  static const unsigned char zeros[4096] = {};
  while (position_ < offset) write(zeros, size_t(std::min<uint64_t>(sizeof zeros, offset - position_)));
}

void StubFinisher::write_at(uint64_t offset, const void* data, size_t size) {
  if (fseeko(out_, off_t(offset), SEEK_SET) != 0 || fwrite(data, 1, size, out_) != size)
    throw std::runtime_error(std::string("write failed: ") + strerror(errno));
}

void StubFinisher::begin() {
  header_ = block_header(strings_, indexed_);
  if (target_ == StubTarget::windows_x64) {
    begin_windows();
  } else {
    write(stub_.data(), stub_.size());
    block_offset_ = align(position_, kAttachedFileAlignment);
    pad_to(block_offset_);
  }
  write(header_.data(), header_.size());
}

void StubFinisher::finish(uint64_t payload_size, const std::vector<unsigned char>& index) {
  position_ += payload_size;  // written by the caller
  if (indexed_) {
    uint64_t index_offset = align(position_, kAttachedPayloadAlignment);
    pad_to(index_offset);
    write(index.data(), index.size());
    unsigned char fields[16];
    store_le64(fields, index_offset - block_offset_);
    store_le64(fields + 8, index.size());
    write_at(block_offset_ + 80, fields, sizeof fields);
    if (fseeko(out_, 0, SEEK_END) != 0) throw std::runtime_error(std::string("write failed: ") + strerror(errno));
  }
  if (target_ == StubTarget::windows_x64) {
    finish_windows(payload_size);
  } else {
    unsigned char footer[kAttachedFooterSize];
    store_le64(footer, block_offset_);
    store_le64(footer + 8, position_ - block_offset_);
    memcpy(footer + 16, kAttachedFooterMagic, sizeof kAttachedFooterMagic);
    write(footer, sizeof footer);
    write_payload_size(payload_size);
  }
  if (fflush(out_) != 0) throw std::runtime_error(std::string("write failed: ") + strerror(errno));
}

void StubFinisher::write_payload_size(uint64_t payload_size) {
  unsigned char field[8];
  store_le64(field, payload_size);
  write_at(block_offset_ + 72, field, sizeof field);
}

// The resources go into a new ".rsrc" section and the block into ".mordax",
// both after the stub's last section, in the file and in the image.
void StubFinisher::begin_windows() {
  PeImage pe;
  read_pe(stub_, &pe);
  uint64_t image_end = 0;
  for (uint32_t i = 0; i < pe.count; ++i) {
    size_t s = pe.sections + i * kSectionHeaderSize;
    // The loader maps VirtualSize bytes; the raw size counts only when it is 0.
    uint32_t virtual_size = get32(stub_, s + 8), rva = get32(stub_, s + 12), raw_size = get32(stub_, s + 16);
    image_end = std::max<uint64_t>(image_end, rva + uint64_t(virtual_size != 0 ? virtual_size : raw_size));
  }
  if (align(image_end, pe.section_alignment) + (1u << 20) > 0xFFFFFFFFu || align(stub_.size(), pe.file_alignment) > 0xFFFFFFFFu)
    throw std::runtime_error("the stub's image is too large to extend");
  uint32_t resources_rva = uint32_t(align(image_end, pe.section_alignment));
  VersionStrings version{strings_.values[1], strings_.values[2], strings_.values[4], strings_.values[5]};
  uint16_t file_version[4], product_version[4];
  std::string why;
  // The writer has checked both before opening the output.
  if (!numeric_version(version.file_version, file_version, &why) ||
      !numeric_version(version.product_version, product_version, &why))
    throw std::runtime_error(why);
  Bytes resources = resource_section(resources_rva, strings_.manifest, version, file_version, product_version);
  resources_raw_size_ = uint32_t(align(resources.size(), pe.file_alignment));
  block_rva_ = uint32_t(align(resources_rva + uint64_t(resources.size()), pe.section_alignment));

  image_headers_.assign(stub_.begin(), stub_.begin() + pe.size_of_headers);
  size_t s = pe.sections + pe.count * kSectionHeaderSize;
  memcpy(&image_headers_[s], ".rsrc\0\0", 8);
  set32(image_headers_, s + 8, uint32_t(resources.size()));
  set32(image_headers_, s + 12, resources_rva);
  set32(image_headers_, s + 16, resources_raw_size_);
  set32(image_headers_, s + 20, uint32_t(align(stub_.size(), pe.file_alignment)));
  set32(image_headers_, s + 36, kReadOnlyData);
  set32(image_headers_, pe.optional + PeImage::kResourceDirectory, resources_rva);
  set32(image_headers_, pe.optional + PeImage::kResourceDirectory + 4, uint32_t(resources.size()));

  write(stub_.data(), stub_.size());
  pad_to(align(position_, pe.file_alignment));
  write(resources.data(), resources.size());
  block_offset_ = align(position_, pe.file_alignment);
  pad_to(block_offset_);
}

void StubFinisher::finish_windows(uint64_t payload_size) {
  PeImage pe;
  read_pe(stub_, &pe);
  uint64_t block_size = position_ - block_offset_;
  uint64_t raw_size = align(block_size, pe.file_alignment);
  uint64_t image_size = align(block_rva_ + block_size, pe.section_alignment);
  if (image_size > 0xFFFFFFFFu || block_offset_ + raw_size > 0xFFFFFFFFu)
    throw std::runtime_error("the payload is too large for a Windows executable (4 GiB in all)");
  pad_to(block_offset_ + raw_size);

  Bytes& h = image_headers_;
  size_t s = pe.sections + (pe.count + 1) * kSectionHeaderSize;
  memcpy(&h[s], kWindowsSectionName, 8);
  set32(h, s + 8, uint32_t(block_size));
  set32(h, s + 12, block_rva_);
  set32(h, s + 16, uint32_t(raw_size));
  set32(h, s + 20, uint32_t(block_offset_));
  set32(h, s + 36, kReadOnlyData);
  set16(h, pe.file_header + 2, pe.count + 2);
  set32(h, pe.optional + PeImage::kSizeOfImage, uint32_t(image_size));
  set32(h, pe.optional + PeImage::kInitializedData,
        uint32_t(get32(h, pe.optional + PeImage::kInitializedData) + resources_raw_size_ + raw_size));
  set32(h, pe.optional + PeImage::kCheckSum, 0);
  write_at(0, h.data(), h.size());

  write_payload_size(payload_size);
  // The checksum covers the whole file, so it is computed over what was written.
  if (fflush(out_) != 0) throw std::runtime_error(std::string("write failed: ") + strerror(errno));
  uint64_t file_size = block_offset_ + raw_size;
  size_t checksum_at = pe.optional + PeImage::kCheckSum;
  uint32_t checksum = pe_checksum(out_, file_size, checksum_at);
  unsigned char field[4];
  store_le32(field, checksum);
  write_at(checksum_at, field, sizeof field);
}
