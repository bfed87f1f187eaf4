#include "support/zip_builder.h"

#include "support/files.h"

#include <stdexcept>
#include <zip.h>

namespace qz::test {

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
        // A directory is an empty entry whose name ends in '/'.
        const bool isDirectory = e.kind == ZipEntry::Kind::Directory;
        const unsigned type = isDirectory                         ? 0040000
                              : e.kind == ZipEntry::Kind::Symlink ? 0120000
                                                                  : 0100000;
        zip_source_t* data =
            zip_source_buffer(archive, e.data.data(), isDirectory ? 0 : e.data.size(), 0);
        const zip_int64_t added = zip_file_add(archive, e.name.c_str(), data, ZIP_FL_ENC_RAW);
        const auto index = static_cast<zip_uint64_t>(added);
        if (added < 0 || zip_set_file_compression(archive, index, ZIP_CM_STORE, 0) != 0 ||
            zip_file_set_mtime(archive, index, 1577836800, 0) != 0 || // fixed: reproducible
            zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX,
                                             (type | (e.mode & 07777)) << 16 | isDirectory << 4)) {
            const std::string reason = zip_strerror(archive);
            if (added < 0) {
                zip_source_free(data);
            }
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
