// The built program in the user's language: German from the catalogs that the installer carries,
// English without one and in the C, POSIX and English locales, and no text a user reads left out
// of the catalogs.
#include "integration/download_installer.h"
#include "support/minisign_keys.h"
#include "support/translations.h"

#include <cstdlib>
#include <functional>

namespace qz {
namespace {

using Lines = std::vector<std::string>;

const std::string NBSP = "\u00a0";

// What the program itself wrote on standard error, without the system log's lines.
Lines ownLines(const test::RunResult& result) {
    Lines own = result.errLines();
    std::erase_if(own, test::isLogLine);
    return own;
}

class Translations : public test::DownloadInstaller {
  protected:
    void SetUp() override {
        DownloadInstaller::SetUp();
        // An unzip that fails without a word, as on a damaged archive, so that every line on
        // standard error is the installer's own.
        test::makeDirectories(root / "bin");
        test::writeFile(root / "bin/unzip", "#!/bin/sh\nexit 9\n", 0755);
    }

    test::RunResult inLanguage(Lines env, bool failingUnzip = false) {
        if (failingUnzip) {
            env.push_back("PATH=" + (root / "bin") + ":" + std::getenv("PATH"));
        }
        return run(env);
    }

    // The installer carries an archive that does not unpack.
    test::RunResult bundleFailure(const Lines& env) {
        test::writeFile(installer.resources + "/InstallAgent.zip", "not an archive");
        auto result = inLanguage(env, true);
        ::unlink((installer.resources + "/InstallAgent.zip").c_str());
        return result;
    }

    // The installer's key file is not one, so its archive is refused.
    test::RunResult refusedBundle(const Lines& env) {
        test::writeFile(installer.resources + "/InstallAgent.zip", "not an archive");
        test::writeFile(keyFile(), "not a key\n");
        auto result = inLanguage(env);
        ::unlink((installer.resources + "/InstallAgent.zip").c_str());
        ::unlink(keyFile().c_str());
        return result;
    }

    test::RunResult downloadFailure(const Lines& env) {
        server.setStatus(404);
        auto result = inLanguage(env);
        server.setStatus(200);
        return result;
    }

    // An installer with a key whose server has no signature for it.
    test::RunResult signatureFailure(const Lines& env) {
        test::writeFile(keyFile(), test::readFile(test::makeMinisignKeys(root.path()).publicKey));
        auto result = downloadFailure(env);
        ::unlink(keyFile().c_str());
        return result;
    }

    // A download with the terminal window's plain lines; the cache is emptied first.
    test::RunResult download(const Lines& env) {
        test::removeTree(root / "home/.velmor");
        return inLanguage(env);
    }

    std::string keyFile() const {
        return installer.resources + "/installAgentKey.pub";
    }
};

TEST_F(Translations, GermanTextsAndMessagesComeFromTheInstallersCatalog) {
    test::installCatalogs(test::builtCatalogs(), installer.resources);
    const Lines german = {"LANGUAGE=de"};

    EXPECT_EQ(ownLines(bundleFailure(german)),
              (Lines{"Der Installationsagent konnte nicht entpackt werden",
                     "Der Installationsagent konnte nicht vorbereitet werden.",
                     "Die Installation ist fehlgeschlagen."}));
    EXPECT_EQ(ownLines(refusedBundle(german)),
              (Lines{"Die Schlüsseldatei " + keyFile() +
                         " des Installationsprogramms ist unbrauchbar: Zeile 1 ist nicht "
                         "Base64-kodiert.",
                     "Der Installationsagent konnte nicht vorbereitet werden.",
                     "Die Installation ist fehlgeschlagen."}));

    const auto failed = downloadFailure(german);
    EXPECT_EQ(ownLines(failed),
              (Lines{"Beim Herunterladen ist ein Fehler aufgetreten.",
                     "Näheres steht im Systemprotokoll.", "Die Installation ist fehlgeschlagen."}));
    // The system log is for support: in English, whatever the user's language.
    EXPECT_NE(failed.err.find("Download failed! Error - "), std::string::npos) << failed.err;

    EXPECT_EQ(ownLines(signatureFailure(german)).front(),
              "Die Signatur des Archivs InstallAgent.zip des Installationsagenten konnte nicht "
              "heruntergeladen werden: Der Server antwortete mit dem HTTP-Status 404.");

    const auto downloaded = download(german);
    EXPECT_EQ(downloaded.out, "agent ran\n");
    const Lines shown = ownLines(downloaded);
    ASSERT_GE(shown.size(), 3u) << downloaded.err;
    EXPECT_EQ(shown.front(), "Wird heruntergeladen:   0" + NBSP + "%");
    EXPECT_EQ(shown[shown.size() - 2], "Wird heruntergeladen: 100" + NBSP + "%");
    EXPECT_EQ(shown.back(), "Das Installationsprogramm wird vorbereitet");
}

TEST_F(Translations, EnglishWithoutACatalogForTheLanguageAndInTheCPosixAndEnglishLocales) {
    const struct {
        bool catalogs;
        Lines env;
    } cases[] = {
        {false, {"LANGUAGE=de"}},
        {true, {"LANGUAGE=it"}},
        {true, {"LC_ALL=C", "LANGUAGE=de"}},
        {true, {"LC_ALL=POSIX", "LANGUAGE=de"}},
        {true, {"LANGUAGE=en"}},
    };
    // The same installer speaks German when it can.
    test::installCatalogs(test::builtCatalogs(), installer.resources);
    const Lines german = ownLines(bundleFailure({"LANGUAGE=de"}));
    ASSERT_FALSE(german.empty());
    ASSERT_EQ(german.back(), "Die Installation ist fehlgeschlagen.");
    for (const auto& [catalogs, env] : cases) {
        SCOPED_TRACE(env.front() + (catalogs ? ", with catalogs" : ", without catalogs"));
        test::removeTree(installer.resources + "/locale");
        if (catalogs) {
            test::installCatalogs(test::builtCatalogs(), installer.resources);
        }
        EXPECT_EQ(ownLines(bundleFailure(env)),
                  (Lines{"Failed to unzip the install agent",
                         "Failed to initialize the install agent.", "Installation failed."}));
        EXPECT_EQ(ownLines(downloadFailure(env)),
                  (Lines{"Error during the download process.",
                         "See your system log for more information.", "Installation failed."}));
    }
}

// A translation that takes other arguments than its original would print stack values or crash:
// the English original is shown instead, and the rest of the catalog still serves.
TEST_F(Translations, ATranslationWhoseConversionsDifferIsNotUsed) {
    const std::string keyFileFormat = "The installer's key file %s is unusable: %s.";
    const std::pair<std::string, std::string> cases[] = {
        {"%2$s: %1$s!", "line 1 is not base64: " + keyFile() + "!"}, // control: reordered
        {"%s %p %s", ""},
        {"%s %s %s %s %s %s", ""},
        {"%s %d", ""},
        {"%1$s %3$s", ""},
        {"%s %n", ""},
        {"%s %s %", ""},
    };
    for (const auto& [translation, expected] : cases) {
        SCOPED_TRACE(translation);
        test::removeTree(installer.resources + "/locale");
        test::writeCatalog(
            installer.resources + "/locale", "de",
            {{keyFileFormat, translation}, {"Installation failed.", "Gescheitert."}});
        const auto result = refusedBundle({"LANGUAGE=de"});
        EXPECT_EQ(ownLines(result),
                  (Lines{expected.empty() ? "The installer's key file " + keyFile() +
                                                " is unusable: line 1 is not base64."
                                          : expected,
                         "Failed to initialize the install agent.", "Gescheitert."}));
    }
}

TEST_F(Translations, NoTextUsersReadIsLeftOutOfTheCatalogs) {
    test::installCatalogs(test::markingCatalogs(), installer.resources);
    const Lines marking = {"LANGUAGE=" + test::MARKING_LANGUAGE};
    const std::pair<const char*, std::function<test::RunResult()>> paths[] = {
        {"bundle failure", [&] { return bundleFailure(marking); }},
        {"refused bundle", [&] { return refusedBundle(marking); }},
        {"download failure", [&] { return downloadFailure(marking); }},
        {"signature download failure", [&] { return signatureFailure(marking); }},
        {"download", [&] { return download(marking); }},
    };
    for (const auto& [name, path] : paths) {
        SCOPED_TRACE(name);
        const auto result = path();
        EXPECT_FALSE(ownLines(result).empty()) << result.err;
        EXPECT_EQ(test::unmarkedLines(result.err), Lines{}) << result.err;
    }
}

} // namespace
} // namespace qz
