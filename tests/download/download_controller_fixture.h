#pragma once

#include "download/download_controller.h"

#include "download/download_entry.h"
#include "provisioning/install_agent_locations.h"
#include "support/env_guard.h"
#include "support/files.h"
#include "support/message_capture.h"
#include "support/zip_builder.h"

#include "platform/system/file_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace qz::test {

// Keeps the last state shown.
struct FakeWindow : platform::DownloadWindow {
    platform::DownloadWindowDelegate* delegate = nullptr;
    platform::WindowState state;
    int shows = 0;
    int closes = 0;
    bool closable = true;

    void setDelegate(platform::DownloadWindowDelegate* d) override {
        delegate = d;
    }
    void show(const platform::WindowState& s) override {
        state = s;
        ++shows;
    }
    bool closableByUser() override {
        return closable;
    }
    void close() override {
        ++closes;
        if (delegate != nullptr) {
            delegate->windowWillClose();
        }
    }
};

struct FakeTransfer : Transfer {
    int* cancels;
    std::optional<platform::Blake2b512Digest> digest;
    std::uint64_t length = 0;
    explicit FakeTransfer(int* c) : cancels(c) {}
    void cancel() override {
        ++*cancels;
    }
    std::uint64_t bodyLength() const override {
        return length;
    }
    Result<platform::Blake2b512Digest> bodyDigest() const override {
        if (!digest) {
            return Failure{"not hashed"};
        }
        return *digest;
    }
};

inline bool held(const Result<bool>& acquired) {
    return acquired && *acquired;
}

inline platform::UrlResponse response(std::optional<std::string> etag, std::int64_t length) {
    platform::UrlResponse r;
    r.statusCode = 200;
    r.expectedContentLength = length;
    if (etag) {
        r.headerFields.push_back({"etag", *etag});
    }
    return r;
}

// A controller with stand-ins for its window, transfers, loop and bundle, and a home of its own.
class DownloadController : public ::testing::Test, public DownloadEnvironment {
  protected:
    DownloadController()
        : home_("HOME", home.path()), cacheDir(getInstallAgentCacheDir()),
          agentDir(cacheDir + "installagent") {
        downloadTo = scratch / "InstallAgent.zip";
        downloadFrom = "http://127.0.0.1:9/InstallAgent.zip";
        controller = std::make_unique<Download>(window, *this, DownloadSettings());
        test::makeDirectories(agentDir);
    }

    void stopApplication(int status) override {
        stops.push_back(status);
    }
    std::unique_ptr<Transfer> makeTransfer(const platform::UrlRequest& request,
                                           const std::string& destination,
                                           platform::UrlTransferDelegate&,
                                           const TransferChecks& checks) override {
        requests.push_back(request);
        destinations.push_back(destination);
        transferChecks.push_back(checks);
        auto transfer = std::make_unique<FakeTransfer>(&cancels);
        transfer->digest = archiveDigest;
        transfer->length = archiveLength;
        return transfer;
    }
    std::unique_ptr<Transfer> fetchSignature(const platform::UrlRequest& request,
                                             std::function<void(SignatureText)> done) override {
        requests.push_back(request);
        signatureArrives = std::move(done);
        return std::make_unique<FakeTransfer>(&cancels);
    }
    unsigned callLater(double, std::function<void()> fn) override {
        delayed.push_back(std::move(fn));
        return static_cast<unsigned>(delayed.size());
    }
    void cancelCall(unsigned) override {
        ++cancelledCalls;
    }
    void runInBackground(std::function<bool()> work, std::function<void(bool)> done) override {
        background.push_back([work, done] { done(work()); });
        if (!holdBackground) {
            runBackground();
        }
    }
    std::optional<platform::MainBundle> mainBundle() override {
        return bundle;
    }

    void runBackground() {
        auto jobs = std::move(background);
        for (auto& job : jobs) {
            job();
        }
    }

    void cacheAgent(const std::string& etag) {
        test::writeFile(agentDir + "/install", "old agent");
        test::writeFile(cacheDir + ".validatestring", etag);
    }

    test::ScratchDir home;
    test::ScratchDir scratch;
    test::EnvGuard home_;
    std::string cacheDir;
    std::string agentDir;
    FakeWindow window;
    std::vector<int> stops;
    std::vector<platform::UrlRequest> requests;
    std::vector<std::string> destinations;
    std::vector<TransferChecks> transferChecks;
    std::function<void(SignatureText)> signatureArrives;
    std::optional<platform::Blake2b512Digest> archiveDigest;
    std::uint64_t archiveLength = 0;
    int cancels = 0;
    std::vector<std::function<void()>> delayed;
    int cancelledCalls = 0;
    std::vector<std::function<void()>> background;
    bool holdBackground = false;
    std::optional<platform::MainBundle> bundle = platform::MainBundle{"/b", "/b"};
    std::unique_ptr<Download> controller;
};

} // namespace qz::test
