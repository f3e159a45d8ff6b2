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
        mailer.Set(mailer.m_strUser, argv[2]) && mailer.Set(mailer.m_strPassword, argv[3]) &&
        mailer.Set(mailer.m_strRecipient, argv[4]) && mailer.Set(mailer.m_strSubject, argv[5]) &&
        mailer.Set(mailer.m_strBody, argv[6]) &&
        (argc < 8 || mailer.Set(mailer.m_strAttachPath, argv[7]));
    if (!ok) {
        std::fprintf(stderr, "an argument is not representable in code page 936\n");
        return 2;
    }
    mailer.OnOK();
    mailer.WaitForWorker();
    return 0;
}
