// Sends one mail through the mail core, as the program's send button does, to a server at
// HOST:PORT (HOST 127.0.0.1 unless given). Texts come in as UTF-8 arguments and the messages the
// user would see go out on stdout, one per line: end-to-end tests drive the real core against a
// real server with it. TLS (implicit, or STARTTLS) trusts the CAs in CA_FILE where it is given (the
// program itself trusts the system's store); --not-local takes a loopback server for one elsewhere,
// to which no secret goes in plain text.
//
//   send_mail [--host HOST] [--ca-file CA_FILE] [--not-local] PORT USER PASSWORD RECIPIENT
//             SUBJECT BODY [ATTACHMENT]
#include "cli_mailer.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--host HOST] [--ca-file CA_FILE] [--not-local] PORT USER PASSWORD "
                 "RECIPIENT SUBJECT BODY [ATTACHMENT]\n",
                 program);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    const char* caFile = nullptr;
    bool notLocal = false;
    int next = 1;
    for (; next < argc; ++next) {
        const std::string_view option = argv[next];
        if (option == "--not-local")
            notLocal = true;
        else if (option == "--host" && next + 1 < argc)
            host = argv[++next];
        else if (option == "--ca-file" && next + 1 < argc)
            caFile = argv[++next];
        else if (option.starts_with("--"))
            return Usage(argv[0]);
        else
            break;
    }
    const int count = argc - next;
    if (count < 6 || count > 7)
        return Usage(argv[0]);
    char** const args = argv + next;

    vtest::CliMailer mailer;
    mailer.core.SetServerForTesting(host, static_cast<std::uint16_t>(std::atoi(args[0])));
    if (caFile != nullptr)
        mailer.core.SetTrustedCaFileForTesting(caFile);
    if (notLocal)
        mailer.core.TreatServerAsRemoteForTesting();
    const bool ok =
        mailer.SetForm(args[1], args[2], args[3], args[4], args[5], count > 6 ? args[6] : nullptr);
    if (!ok) {
        std::fprintf(stderr, "an argument cannot be sent exactly\n");
        return 2;
    }
    mailer.Send();
    return 0;
}
