// qz-test-server (--file PATH | --directory DIR) [--etag VALUE] [--status CODE]
//                [--chunk BYTES --delay-ms MS] [--port-file PATH]
// Serves the file for any path, or the directory's files by path, on 127.0.0.1 and an ephemeral
// port until SIGTERM or SIGINT.

#include "support/http_test_server.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    g_autofree gchar* file = nullptr;
    g_autofree gchar* directory = nullptr;
    g_autofree gchar* etag = nullptr;
    g_autofree gchar* portFile = nullptr;
    int status = 200;
    int chunk = 0;
    int delayMs = 0;
    const GOptionEntry entries[] = {
        {"file", 0, 0, G_OPTION_ARG_FILENAME, &file, "The body, for any path", "PATH"},
        {"directory", 0, 0, G_OPTION_ARG_FILENAME, &directory, "Its files, by path", "DIR"},
        {"etag", 0, 0, G_OPTION_ARG_STRING, &etag, "The ETag header's exact value", "VALUE"},
        {"status", 0, 0, G_OPTION_ARG_INT, &status, "The status of every answer", "CODE"},
        {"chunk", 0, 0, G_OPTION_ARG_INT, &chunk, "The body in pieces of this size", "BYTES"},
        {"delay-ms", 0, 0, G_OPTION_ARG_INT, &delayMs, "The pause between pieces", "MS"},
        {"port-file", 0, 0, G_OPTION_ARG_FILENAME, &portFile, "Where to write the port", "PATH"},
        {}};
    g_autoptr(GOptionContext) options = g_option_context_new("- a test HTTP server");
    g_option_context_add_main_entries(options, entries, nullptr);
    if (!g_option_context_parse(options, &argc, &argv, nullptr) ||
        (file == nullptr) == (directory == nullptr) || argc > 1 || chunk < 0 || delayMs < 0) {
        std::cerr << "usage: qz-test-server (--file PATH | --directory DIR) [--etag VALUE] "
                     "[--status CODE] [--chunk BYTES --delay-ms MS] [--port-file PATH]\n";
        return 2;
    }

    qz::test::HttpTestServer server;
    if (file != nullptr) {
        server.setBodyFromFile(file);
    } else {
        server.setDirectory(directory);
    }
    server.setETag(etag ? std::optional<std::string>(etag) : std::nullopt);
    server.setStatus(status);
    server.setSlow(static_cast<std::size_t>(chunk), std::chrono::milliseconds(delayMs));

    const std::string port = std::to_string(server.port()) + "\n";
    // Written atomically, so readers polling for the file never see it half written.
    if (portFile != nullptr && !g_file_set_contents(portFile, port.c_str(), -1, nullptr)) {
        std::cerr << "qz-test-server: cannot write " << portFile << "\n";
        return 1;
    }
    std::cout << port << std::flush;

    g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
    const GSourceFunc quit = [](gpointer l) {
        g_main_loop_quit(static_cast<GMainLoop*>(l));
        return G_SOURCE_REMOVE;
    };
    g_unix_signal_add(SIGTERM, quit, loop);
    g_unix_signal_add(SIGINT, quit, loop);
    g_main_loop_run(loop);
    return 0;
}
