#include "support/translations.h"

#include "base/translation.h"
#include "support/files.h"
#include "support/subprocess.h"

#include <algorithm>
#include <clocale>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

namespace qz::test {
namespace {

const std::string OPEN = "⟦";
const std::string CLOSE = "⟧";

bool hasLetterOutsideMarks(const std::string& line) {
    int depth = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line.compare(i, OPEN.size(), OPEN) == 0) {
            ++depth;
            i += OPEN.size() - 1;
        } else if (line.compare(i, CLOSE.size(), CLOSE) == 0) {
            --depth;
            i += CLOSE.size() - 1;
        } else if (depth <= 0 &&
                   ((line[i] >= 'A' && line[i] <= 'Z') || (line[i] >= 'a' && line[i] <= 'z'))) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string builtCatalogs() {
    return QZ_CATALOG_DIR;
}

std::string markingCatalogs() {
    return QZ_PSEUDO_CATALOG_DIR;
}

void installCatalogs(const std::string& catalogs, const std::string& resources) {
    std::filesystem::copy(catalogs, resources + "/locale",
                          std::filesystem::copy_options::recursive);
}

void writeCatalog(const std::string& catalogs, const std::string& language,
                  const std::vector<std::pair<std::string, std::string>>& entries) {
    const std::string folder = catalogs + "/" + language + "/LC_MESSAGES";
    makeDirectories(folder);
    std::string po = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n";
    for (const auto& [id, str] : entries) {
        po += "\nmsgid \"" + id + "\"\nmsgstr \"" + str + "\"\n";
    }
    writeFile(folder + "/catalog.po", po);
    const auto made =
        runProgram("msgfmt", {"-o", folder + "/" + TEXT_DOMAIN + ".mo", folder + "/catalog.po"});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    ::unlink((folder + "/catalog.po").c_str());
}

bool isLogLine(const std::string& line) {
    static const std::regex logLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+\[\d+\] )");
    return std::regex_search(line, logLine);
}

std::vector<std::string> unmarkedLines(const std::string& err,
                                       const std::vector<std::string>& ignore) {
    std::vector<std::string> unmarked;
    for (const std::string& line : linesOf(err)) {
        if (!isLogLine(line) && std::find(ignore.begin(), ignore.end(), line) == ignore.end() &&
            hasLetterOutsideMarks(line)) {
            unmarked.push_back(line);
        }
    }
    return unmarked;
}

bool localeAvailable(const std::string& name) {
    const locale_t locale = ::newlocale(LC_ALL_MASK, name.c_str(), nullptr);
    if (locale == nullptr) {
        return false;
    }
    ::freelocale(locale);
    return true;
}

ProcessLanguage::ProcessLanguage(const std::string& locale, std::optional<std::string> language,
                                 const std::string& catalogs)
    : language_("LANGUAGE", std::move(language)) {
    ::bindtextdomain(TEXT_DOMAIN, catalogs.c_str());
    ::bind_textdomain_codeset(TEXT_DOMAIN, "UTF-8");
    active_ = std::setlocale(LC_ALL, locale.c_str()) != nullptr;
}

ProcessLanguage::~ProcessLanguage() {
    std::setlocale(LC_ALL, "C");
}

} // namespace qz::test
