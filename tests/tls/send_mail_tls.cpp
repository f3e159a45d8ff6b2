// Sends one mail through the TLS build of the mail core, as the program's send button does, to a
// server at HOST:PORT whose certificate must chain to the CAs in CA_FILE (the program itself
// trusts the system's store). Texts come in as UTF-8 arguments and the messages the user would see
// go out on stdout, one per line; why a secure connection failed goes to stderr as "tls: REASON",
// so that tests can tell a refused certificate from any other failure.
//
//   send_mail_tls HOST PORT CA_FILE USER PASSWORD RECIPIENT SUBJECT BODY [ATTACHMENT]
#include "cli_mailer.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 9 || argc > 10) {
        std::fprintf(stderr,
                     "usage: %s HOST PORT CA_FILE USER PASSWORD RECIPIENT SUBJECT BODY "
                     "[ATTACHMENT]\n",
                     argv[0]);
        return 2;
    }
    vtest::CliMailer mailer;
    mailer.SetServerForTesting(argv[1], static_cast<std::uint16_t>(std::atoi(argv[2])));
    mailer.m_socket.SetTrustedCaFileForTesting(argv[3]);
    const bool ok =
        mailer.SetForm(argv[4], argv[5], argv[6], argv[7], argv[8], argc > 9 ? argv[9] : nullptr);
    if (!ok) {
        std::fprintf(stderr, "an argument cannot be sent exactly\n");
        return 2;
    }
    mailer.OnOK();
    mailer.WaitForWorker();
    if (!mailer.m_socket.TlsFailureText().empty())
        std::fprintf(stderr, "tls: %s\n", mailer.m_socket.TlsFailureText().c_str());
    return 0;
}
