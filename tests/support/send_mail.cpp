// Sends one mail through the mail core, as the program's send button does, to a server at
// HOST:PORT (HOST 127.0.0.1 unless given). Texts come in as UTF-8 arguments and the messages the
// user would see go out on stdout, one per line: end-to-end tests drive the real core against a
// real server with it. The TLS build trusts the CAs in CA_FILE where it is given (the program
// itself trusts the system's store).
//
//   send_mail [--host HOST] [--ca-file CA_FILE] PORT USER PASSWORD RECIPIENT SUBJECT BODY
//             [ATTACHMENT]
#include "cli_mailer.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--host HOST]%s PORT USER PASSWORD RECIPIENT SUBJECT BODY "
                 "[ATTACHMENT]\n",
                 program, VELLIPOST_TLS ? " [--ca-file CA_FILE]" : "");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    const char* caFile = nullptr;
    int next = 1;
    for (; next + 1 < argc; next += 2) {
        const std::string_view option = argv[next];
        if (option == "--host")
            host = argv[next + 1];
        else if (VELLIPOST_TLS && option == "--ca-file")
            caFile = argv[next + 1];
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
    const bool ok =
        mailer.SetForm(args[1], args[2], args[3], args[4], args[5], count > 6 ? args[6] : nullptr);
    if (!ok) {
        std::fprintf(stderr, "an argument cannot be sent exactly\n");
        return 2;
    }
    mailer.Send();
    return 0;
}
