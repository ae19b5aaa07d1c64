// Reading a PE image: the headers, the export names and the version resource. A damaged file
// (cut short, say) gives a problem text naming what lies beyond its end, never a read past it.
#include "pe_image.h"

#include <cstdio>
#include <utility>

namespace selftest {
namespace {

constexpr std::uint16_t machine_x64 = 0x8664;
constexpr std::uint16_t machine_x86 = 0x14c;
constexpr std::uint16_t file_is_dll = 0x2000;
constexpr unsigned directory_export = 0;
constexpr unsigned directory_resource = 2;
constexpr std::uint32_t resource_type_version = 16;
constexpr std::uint32_t fixed_file_info_signature = 0xFEEF04BD;

class Reader {
public:
    explicit Reader(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}

    bool Has(std::uint64_t offset, std::uint64_t size) const
    {
        return offset <= bytes_.size() && size <= bytes_.size() - offset;
    }
    unsigned Byte(std::uint64_t offset) const { return Has(offset, 1) ? bytes_[offset] : 0; }
    std::uint32_t U16(std::uint64_t offset) const
    {
        return Has(offset, 2) ? bytes_[offset] | bytes_[offset + 1] << 8 : 0;
    }
    std::uint32_t U32(std::uint64_t offset) const
    {
        return Has(offset, 4) ? U16(offset) | U16(offset + 2) << 16 : 0;
    }
    // A zero-terminated name at offset, at most 512 bytes; empty when it runs off the end.
    std::string Name(std::uint64_t offset) const
    {
        std::string name;
        for (std::uint64_t at = offset; Has(at, 1) && name.size() < 512; ++at) {
            if (bytes_[at] == 0)
                return name;
            name += static_cast<char>(bytes_[at]);
        }
        return std::string();
    }
    std::size_t Size() const { return bytes_.size(); }

private:
    const std::vector<unsigned char>& bytes_;
};

struct Section {
    std::string name;
    std::uint32_t address, size, rawSize, rawOffset;
};

class Image {
public:
    Image(const Reader& r, std::vector<Section> sections) : r_(r), sections_(std::move(sections))
    {
    }

    // The file offset of an address in the loaded image; false with problem set when no
    // section holds it or the section's bytes are not all in the file.
    bool Offset(std::uint32_t rva, std::uint32_t size, std::uint64_t* offset, std::string* problem)
    {
        for (const Section& s : sections_) {
            std::uint32_t extent = s.size > s.rawSize ? s.size : s.rawSize;
            if (rva < s.address || rva - s.address >= extent)
                continue;
            *offset = std::uint64_t(s.rawOffset) + (rva - s.address);
            if (r_.Has(*offset, size))
                return true;
            char text[160];
            std::snprintf(text, sizeof text,
                          "the file ends at byte %zu, before the end of its section %s "
                          "(byte %llu): it is cut short",
                          r_.Size(), s.name.c_str(),
                          static_cast<unsigned long long>(s.rawOffset) + s.rawSize);
            *problem = text;
            return false;
        }
        *problem = "a table lies outside every section";
        return false;
    }

private:
    const Reader& r_;
    std::vector<Section> sections_;
};

void ReadExports(const Reader& r, Image& image, std::uint32_t rva, PeImage* out)
{
    std::uint64_t dir;
    if (!image.Offset(rva, 40, &dir, &out->problem))
        return;
    std::uint32_t count = r.U32(dir + 24);
    std::uint64_t names;
    if (!image.Offset(r.U32(dir + 32), count * 4, &names, &out->problem))
        return;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint64_t name;
        if (!image.Offset(r.U32(names + 4 * i), 1, &name, &out->problem))
            return;
        out->exports.push_back(r.Name(name));
    }
}

// The version resource: type 16, its first name, its first language; the fixed part begins
// with a signature, after the header and the key "VS_VERSION_INFO".
void ReadVersion(const Reader& r, Image& image, std::uint32_t rva, PeImage* out)
{
    std::uint64_t root;
    if (!image.Offset(rva, 16, &root, &out->problem))
        return;
    std::uint64_t dir = root;
    std::uint32_t wanted = resource_type_version;
    for (int level = 0; level < 3; ++level) {
        std::uint32_t named = r.U16(dir + 12), ids = r.U16(dir + 14);
        if (!r.Has(dir + 16, 8 * std::uint64_t(named + ids))) {
            out->problem = "its resource table is cut short";
            return;
        }
        std::uint32_t next = 0;
        bool found = false;
        for (std::uint32_t i = 0; i < named + ids && !found; ++i) {
            std::uint64_t entry = dir + 16 + 8 * std::uint64_t(i);
            found = level > 0 || (i >= named && r.U32(entry) == wanted);
            next = r.U32(entry + 4);
        }
        if (!found)
            return;  // no version resource
        bool subdirectory = (next & 0x80000000u) != 0;
        dir = root + (next & 0x7FFFFFFFu);
        if (subdirectory != (level < 2) || !r.Has(dir, 16)) {
            out->problem = "its resource table is damaged";
            return;
        }
    }
    std::uint64_t data;
    std::uint32_t size = r.U32(dir + 4);
    if (!image.Offset(r.U32(dir), size, &data, &out->problem))
        return;
    for (std::uint64_t at = data; at + 20 <= data + size; at += 4) {
        if (r.U32(at) == fixed_file_info_signature) {
            std::uint32_t high = r.U32(at + 8), low = r.U32(at + 12);
            out->version[0] = high >> 16;
            out->version[1] = high & 0xFFFF;
            out->version[2] = low >> 16;
            out->version[3] = low & 0xFFFF;
            out->hasVersion = true;
            return;
        }
    }
}

}  // namespace

PeImage ReadPeImage(const std::vector<unsigned char>& bytes)
{
    PeImage out;
    Reader r(bytes);
    std::uint64_t pe = r.U32(0x3C);
    if (r.U16(0) != 0x5A4D || r.U32(pe) != 0x4550) {
        out.problem = r.Size() < 0x40 ? "the file is too short for a Windows program"
                                      : "it is not a Windows program or library";
        return out;
    }
    out.machine = static_cast<std::uint16_t>(r.U16(pe + 4));
    std::uint32_t sectionCount = r.U16(pe + 6);
    std::uint32_t optionalSize = r.U16(pe + 20);
    out.dll = (r.U16(pe + 22) & file_is_dll) != 0;
    std::uint64_t optional = pe + 24;
    std::uint32_t magic = r.U16(optional);
    std::uint64_t directories = optional + (magic == 0x20B ? 112 : 96);
    std::uint32_t directoryCount = r.U32(directories - 4);
    std::uint64_t table = optional + optionalSize;
    if ((magic != 0x10B && magic != 0x20B) || !r.Has(table, 40 * std::uint64_t(sectionCount))) {
        out.problem = "its headers are damaged or cut short";
        return out;
    }
    std::vector<Section> sections;
    for (std::uint32_t i = 0; i < sectionCount; ++i) {
        std::uint64_t s = table + 40 * std::uint64_t(i);
        std::string name;
        for (int k = 0; k < 8 && r.Byte(s + k) != 0; ++k)
            name += static_cast<char>(r.Byte(s + k));
        sections.push_back({name, r.U32(s + 12), r.U32(s + 8), r.U32(s + 16), r.U32(s + 20)});
    }
    Image image(r, sections);
    auto directory = [&](unsigned index) {
        return index < directoryCount ? r.U32(directories + 8 * index) : 0;
    };
    if (directory(directory_export) != 0)
        ReadExports(r, image, directory(directory_export), &out);
    if (out.problem.empty() && directory(directory_resource) != 0)
        ReadVersion(r, image, directory(directory_resource), &out);
    return out;
}

std::string MachineName(std::uint16_t machine)
{
    if (machine == machine_x64)
        return "64-bit (x64)";
    if (machine == machine_x86)
        return "32-bit (x86)";
    char text[40];
    std::snprintf(text, sizeof text, "of machine type 0x%x", machine);
    return text;
}

std::string VersionText(const PeImage& image)
{
    if (!image.hasVersion)
        return "no version";
    char text[40];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", image.version[0], image.version[1],
                  image.version[2], image.version[3]);
    return text;
}

}  // namespace selftest
