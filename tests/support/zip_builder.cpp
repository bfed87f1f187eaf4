#include "support/zip_builder.h"

#include "support/files.h"

#include <stdexcept>
#include <zip.h>
#include <zlib.h>

namespace qz::test {
namespace {

// 2020-01-01: a fixed stamp keeps archives reproducible.
constexpr time_t kStamp = 1577836800;

zip_int64_t add(zip_t* archive, const ZipEntry& e) {
    if (e.kind == ZipEntry::Kind::Directory) {
        return zip_dir_add(archive, e.name.c_str(), ZIP_FL_ENC_RAW);
    }
    zip_source_t* data = zip_source_buffer(archive, e.data.data(), e.data.size(), 0);
    const zip_int64_t index = zip_file_add(archive, e.name.c_str(), data, ZIP_FL_ENC_RAW);
    if (index < 0) {
        zip_source_free(data);
    }
    return index;
}

zip_uint32_t unixAttributes(const ZipEntry& e) {
    const unsigned type = e.kind == ZipEntry::Kind::Directory ? 0040000
                          : e.kind == ZipEntry::Kind::Symlink ? 0120000
                                                              : 0100000;
    return (type | (e.mode & 07777)) << 16 | (e.kind == ZipEntry::Kind::Directory ? 0x10 : 0);
}

} // namespace

std::uint32_t crc32(std::string_view bytes, std::uint32_t crc) {
    return static_cast<std::uint32_t>(
        ::crc32_z(crc, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

std::string makeZip(const std::vector<ZipEntry>& entries) {
    const ScratchDir dir;
    writeZip(dir / "a.zip", entries);
    return readFile(dir / "a.zip");
}

void writeZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    if (entries.empty()) { // libzip writes no file for an empty archive
        writeFile(path, std::string("PK\5\6", 4) + std::string(18, '\0'));
        return;
    }
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (archive == nullptr) {
        throw std::runtime_error("cannot create " + path);
    }
    for (const ZipEntry& e : entries) {
        const zip_int64_t i = add(archive, e);
        const auto index = static_cast<zip_uint64_t>(i);
        if (i < 0 || zip_set_file_compression(archive, index, ZIP_CM_STORE, 0) != 0 ||
            zip_file_set_mtime(archive, index, kStamp, 0) != 0 ||
            zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX,
                                             unixAttributes(e)) != 0) {
            const std::string reason = zip_strerror(archive);
            zip_discard(archive);
            throw std::runtime_error("cannot add " + e.name + " to " + path + ": " + reason);
        }
    }
    if (zip_close(archive) != 0) {
        const std::string reason = zip_strerror(archive);
        zip_discard(archive);
        throw std::runtime_error("cannot write " + path + ": " + reason);
    }
}

std::string makeAgentZip(const std::string& installScript, const std::vector<ZipEntry>& extra) {
    const std::string script =
        installScript.starts_with("#!") ? installScript : "#!/bin/sh\n" + installScript;
    std::vector<ZipEntry> entries{{"install", script, ZipEntry::Kind::File, 0755}};
    entries.insert(entries.end(), extra.begin(), extra.end());
    return makeZip(entries);
}

} // namespace qz::test
