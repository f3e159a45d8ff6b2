// Sends one mail through the mail core, as the program's send button does, to a server on a given
// loopback port. Texts come in as UTF-8 arguments and the messages the user would see go out on
// stdout, one per line: end-to-end tests drive the real core against a real server with it.
//
//   send_mail PORT USER PASSWORD RECIPIENT SUBJECT BODY [ATTACHMENT]
#include "cli_mailer.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 7 || argc > 8) {
        std::fprintf(stderr, "usage: %s PORT USER PASSWORD RECIPIENT SUBJECT BODY [ATTACHMENT]\n",
                     argv[0]);
        return 2;
    }
    vtest::CliMailer mailer;
    mailer.SetServerForTesting("127.0.0.1", static_cast<std::uint16_t>(std::atoi(argv[1])));
    const bool ok =
        mailer.SetForm(argv[2], argv[3], argv[4], argv[5], argv[6], argc > 7 ? argv[7] : nullptr);
    if (!ok) {
        std::fprintf(stderr, "an argument cannot be sent exactly\n");
        return 2;
    }
    mailer.OnOK();
    mailer.WaitForWorker();
    return 0;
}
