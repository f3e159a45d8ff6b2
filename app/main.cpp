// Vellipost: sends one mail at a time through an SMTP server, from one modal form.
#include "app/mailer_app.h"

int main(int argc, char* argv[]) {
    CMailerApp theApp(argc, argv);
    // false: the modal form was the whole run; the process ends with it.
    theApp.InitInstance();
    return 0;
}
