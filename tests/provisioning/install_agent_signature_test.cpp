#include "provisioning/install_agent_signature.h"
#include "support/files.h"
#include "support/minisign_keys.h"

#include <functional>
#include <gtest/gtest.h>

namespace qz {
namespace {

const std::string ARCHIVE_BYTES = "PK\x03\x04 an install agent archive, as signed";

// An installer's resources with a key file, an archive and its signature by a real minisign.
// Public: the table of faults below spoils it from outside.
class InstallAgentSignature : public ::testing::Test {
  public:
    static void SetUpTestSuite() {
        keysDir = new test::ScratchDir;
        first = test::makeMinisignKeys(keysDir->path(), "first");
        second = test::makeMinisignKeys(keysDir->path(), "second");
    }
    static void TearDownTestSuite() {
        delete keysDir;
    }

    void SetUp() override {
        test::writeFile(keyFile(), test::readFile(first.publicKey));
        sign(first, test::releaseComment("InstallAgent.zip", 7, ARCHIVE_BYTES.size()));
    }

    std::string archive() const {
        return resources / "InstallAgent.zip";
    }
    std::string signatureFile() const {
        return archive() + ".minisig";
    }
    std::string keyFile() const {
        return resources / "installAgentKey.pub";
    }
    void sign(const test::MinisignKeys& keys, const std::string& comment, bool legacy = false) {
        test::writeFile(archive(), ARCHIVE_BYTES);
        test::minisignSign(keys, archive(), comment, legacy);
    }
    Result<std::optional<std::uint64_t>> verify() const {
        return verifyBundleArchive(resources.path(), archive());
    }

    static inline test::ScratchDir* keysDir = nullptr;
    static inline test::MinisignKeys first;
    static inline test::MinisignKeys second;
    test::ScratchDir resources;
};

TEST_F(InstallAgentSignature, AGoodSignatureVouchesForTheVersion) {
    const auto verified = verify();
    ASSERT_TRUE(verified) << verified.reason();
    EXPECT_EQ(*verified, 7u);
}

TEST_F(InstallAgentSignature, WithoutAKeyFileNothingIsChecked) {
    ::unlink(keyFile().c_str());
    ::unlink(signatureFile().c_str());
    const auto verified = verify();
    ASSERT_TRUE(verified) << verified.reason();
    EXPECT_EQ(*verified, std::nullopt);
}

TEST_F(InstallAgentSignature, ASignatureBySecondKeyOfTheFileIsAccepted) {
    test::writeFile(keyFile(),
                    test::readFile(first.publicKey) + "\n" + test::readFile(second.publicKey));
    sign(second, test::releaseComment("InstallAgent.zip", 8, ARCHIVE_BYTES.size()));
    const auto verified = verify();
    ASSERT_TRUE(verified) << verified.reason();
    EXPECT_EQ(*verified, 8u);
}

struct Refusal {
    const char* name;
    std::function<void(InstallAgentSignature&)> spoil;
    std::string expected; // part of the one line reported
};

TEST_F(InstallAgentSignature, EveryFaultIsRefusedWithItsOwnReason) {
    const std::string refused = "The install agent archive InstallAgent.zip is not trusted: ";
    const auto editSignature = [](int line, std::function<std::string(std::string)> edit) {
        return [line, edit](InstallAgentSignature& t) {
            const std::string text = test::readFile(t.signatureFile());
            test::writeFile(t.signatureFile(),
                            test::withLine(text, line, edit(test::lineOf(text, line))));
        };
    };
    const std::vector<Refusal> refusals = {
        {"flipped byte",
         [](auto& t) {
             std::string bytes = ARCHIVE_BYTES;
             bytes[5] ^= 1;
             test::writeFile(t.archive(), bytes);
         },
         refused + "the signature does not match it."},
        {"longer archive", [](auto& t) { test::writeFile(t.archive(), ARCHIVE_BYTES + "x"); },
         refused + "it is " + std::to_string(ARCHIVE_BYTES.size() + 1) +
             " bytes long, but its signature is for " + std::to_string(ARCHIVE_BYTES.size()) +
             " bytes."},
        {"changed trusted comment",
         editSignature(
             3,
             [](std::string line) { return line.replace(line.find("version:7"), 9, "version:9"); }),
         refused + "the trusted comment of the signature was altered."},
        {"another key",
         [](auto& t) {
             t.sign(second, test::releaseComment("InstallAgent.zip", 7, ARCHIVE_BYTES.size()));
         },
         refused + "it is signed with an unknown key (key ID "},
        {"legacy signature",
         [](auto& t) {
             t.sign(first, test::releaseComment("InstallAgent.zip", 7, ARCHIVE_BYTES.size()), true);
         },
         refused + "the signature is in minisign's legacy format"},
        {"bad base64", editSignature(2, [](std::string line) { return line.replace(4, 1, "*"); }),
         refused + "the signature is not in minisign format: line 2 is not base64."},
        {"over 16 KiB",
         editSignature(1, [](std::string line) { return line + std::string(16 * 1024, 'x'); }),
         refused + "its signature InstallAgent.zip.minisig is longer than 16384 bytes."},
        {"another file",
         [](auto& t) {
             t.sign(first, test::releaseComment("InstallAgent_old.zip", 7, ARCHIVE_BYTES.size()));
         },
         refused + "its signature is for another file, InstallAgent_old.zip."},
        {"no version",
         [](auto& t) {
             t.sign(first, "file:InstallAgent.zip size:" + std::to_string(ARCHIVE_BYTES.size()));
         },
         refused + "the trusted comment of the signature lacks version:."},
        {"missing signature", [](auto& t) { ::unlink(t.signatureFile().c_str()); },
         refused + "its signature InstallAgent.zip.minisig is missing."},
        {"broken key file",
         [](auto& t) { test::writeFile(t.keyFile(), "untrusted comment: k\nRWQ*\n"); },
         "The installer's key file " + resources.path() +
             "/installAgentKey.pub is unusable: line 2 is not base64."},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        SetUp();
        refusal.spoil(*this);
        const auto verified = verify();
        ASSERT_FALSE(verified);
        EXPECT_EQ(verified.reason().rfind(refusal.expected, 0), 0u) << verified.reason();
    }
}

TEST_F(InstallAgentSignature, AnArchiveOlderThanItsKeysNewestVersionIsRefused) {
    const auto keys = parseMinisignPublicKeys(test::readFile(keyFile()));
    ASSERT_TRUE(keys);
    const std::string text = test::readFile(signatureFile());
    const auto id = keys->at(0).id;
    EXPECT_TRUE(VouchedArchive::check(*keys, text, "InstallAgent.zip", {{VersionLine{id, ""}, 7}}));
    MinisignKeyId another = id;
    another[0] ^= 1;
    EXPECT_TRUE(
        VouchedArchive::check(*keys, text, "InstallAgent.zip", {{VersionLine{another, ""}, 8}}));
    const auto older =
        VouchedArchive::check(*keys, text, "InstallAgent.zip", {{VersionLine{id, ""}, 8}});
    ASSERT_FALSE(older);
    EXPECT_EQ(older.reason(), "The install agent archive InstallAgent.zip is not trusted: it is "
                              "version 7, older than version 8 installed before.");
}

TEST_F(InstallAgentSignature, TheKeyIdIsShownAsMinisignShowsIt) {
    const auto keys = parseMinisignPublicKeys(test::readFile(second.publicKey));
    ASSERT_TRUE(keys);
    // "untrusted comment: minisign public key <ID>"
    const std::string comment = test::lineOf(test::readFile(second.publicKey), 1);
    EXPECT_EQ(comment, "untrusted comment: minisign public key " + keyIdText(keys->at(0).id));
}

TEST(MinisignKeyIdText, DropsLeadingZerosAsMinisignDoes) {
    const std::pair<MinisignKeyId, std::string> cases[] = {
        {{0x40, 0x2a, 0x1d, 0x67, 0x96, 0xe5, 0x00, 0x16}, "1600E596671D2A40"},
        {{0xc0, 0xd6, 0xdc, 0xfa, 0x99, 0x71, 0x65, 0x02}, "2657199FADCD6C0"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "0"},
    };
    for (const auto& [id, text] : cases) {
        EXPECT_EQ(keyIdText(id), text);
    }
}

TEST(TrustedComment, ReadsTheFieldsAndIgnoresTheRest) {
    const auto comment =
        parseTrustedComment("timestamp:1796703996\tfile:InstallAgent.zip\thashed  version:12 "
                            "size:345 build:x");
    ASSERT_TRUE(comment) << comment.reason();
    EXPECT_EQ(comment->file, "InstallAgent.zip");
    EXPECT_EQ(comment->version, 12u);
    EXPECT_EQ(comment->size, 345u);
    EXPECT_EQ(comment->timestamp, 1796703996u);
}

TEST(TrustedComment, RefusesWhatIsAmbiguousOrMissing) {
    for (const char* text :
         {"file:a version:1", "file:a size:1", "version:1 size:1", "file:a file:b version:1 size:1",
          "file:a version:1 version:2 size:1", "file: version:1 size:1", "file:a version:-1 size:1",
          "file:a version:1 size:1x", "file:a version:1 size:1 timestamp:now",
          "file:a version:99999999999999999999 size:1"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parseTrustedComment(text));
    }
}

TEST(MinisignFormat, PublicKeysNeedTheEd25519AlgorithmAndAtLeastOneKey) {
    for (const char* text : {"", "untrusted comment: only a comment\n",
                             // "ED" instead of "Ed", and a key one byte short
                             "RUS8UFJDgMoPfKJ8bLv4PwyoaeKmHUKbduLMccSbun35e3k+F4C1k4z6\n",
                             "RWS8UFJDgMoPfKJ8bLv4PwyoaeKmHUKbduLMccSbun35e3k+F4C1k4w=\n"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parseMinisignPublicKeys(text));
    }
    EXPECT_TRUE(parseMinisignPublicKeys(
        "untrusted comment: k\r\nRWS8UFJDgMoPfKJ8bLv4PwyoaeKmHUKbduLMccSbun35e3k+F4C1k4z6\r\n"));
}

TEST(SignedDownload, TheSignatureUrlAndTheArchiveNameComeFromThePath) {
    EXPECT_EQ(signatureUrlFor("https://h/a/InstallAgent.zip"),
              "https://h/a/InstallAgent.zip.minisig");
    EXPECT_EQ(signatureUrlFor("https://h/a/InstallAgent.zip?t=1#f"),
              "https://h/a/InstallAgent.zip.minisig?t=1#f");
    EXPECT_EQ(archiveNameOfUrl("https://h/a/InstallAgent.zip?t=/x"), "InstallAgent.zip");
    EXPECT_EQ(archiveNameOfUrl("h/a/x/../InstallAgent.zip#/y"), "InstallAgent.zip"); // as fetched
    EXPECT_EQ(archiveNameOfUrl("https://h/a/"), "");
    EXPECT_EQ(archiveNameOfUrl("https://h"), "");
}

} // namespace
} // namespace qz
