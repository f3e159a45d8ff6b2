// Sends one mail with an attachment through the mail core exactly as the program's send button
// does (the send command, the attachment worker, the encoder, the socket) to a server on a
// loopback port, then prints how long it took and how much memory it used:
//
//   vellipost-bench-send [--ca-file CA_FILE] PORT FILE
//   -> seconds=1.234 bytes=104857600 file_mbps=85.0 idle_rss_kib=3456 peak_rss_kib=4567
//
// Exit status 0 only when the user would have seen the success message. With CA_FILE the server's
// certificate is checked against that CA instead of the system's store, for a sink that offers
// STARTTLS with a throwaway certificate.
#include "cli_mailer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

namespace {

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 if it cannot be read.
long StatusKib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

class BenchMailer : public vtest::CliMailer {
public:
    bool sentOk = false;

    void ShowMessage(const mail::Notice& notice) override {
        if (notice.id == mail::Msg::SentOk) {
            sentOk = true;
            return;
        }
        std::fprintf(stderr, "vellipost-bench-send: message %d: %s %s\n",
                     static_cast<int>(notice.id), mail::NoticeText(notice).c_str(),
                     mail::NoticeDetail(notice).c_str());
    }
};

} // namespace

int main(int argc, char** argv) {
    const bool withCa = argc > 1 && std::string(argv[1]) == "--ca-file";
    const int first = withCa ? 3 : 1; // PORT
    if (argc != first + 2) {
        std::fprintf(stderr, "usage: %s [--ca-file CA_FILE] PORT FILE\n", argv[0]);
        return 2;
    }
    const char* const file = argv[first + 1];
    struct stat st {};
    if (::stat(file, &st) != 0) {
        std::perror(file);
        return 2;
    }
    BenchMailer mailer;
    mailer.core.SetServerForTesting("127.0.0.1",
                                    static_cast<std::uint16_t>(std::atoi(argv[first])));
    if (withCa)
        mailer.core.SetTrustedCaFileForTesting(argv[2]);
    mailer.form.m_strUser = "bench";
    mailer.form.m_strPassword = "bench";
    mailer.form.m_strRecipient = "sink@example.com";
    mailer.form.m_strSubject = "bench";
    mailer.form.m_strBody = "bench";
    mailer.form.m_strAttachPath = file;

    const long idleKib = StatusKib("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    mailer.Send();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long peakKib = StatusKib("VmHWM");

    const auto bytes = static_cast<unsigned long long>(st.st_size);
    std::printf("seconds=%.4f bytes=%llu file_mbps=%.1f idle_rss_kib=%ld peak_rss_kib=%ld\n",
                seconds, bytes, static_cast<double>(bytes) / seconds / 1e6, idleKib, peakKib);
    return mailer.sentOk ? 0 : 1;
}
