#include "gui/app.h"
#include "launcher/startup.h"
#include "launcher/update_glue.h"
#include "updater/signing.h"
#include "updater/signing_key.h"

#if defined(__SANITIZE_ADDRESS__)
#include "gui/toolkit_leaks.h"
#endif

int main(int argc, char** argv)
{
    // Before any thread: the key this build trusts ("" for unsigned
    // updates). One that does not parse leaves every update refused, and
    // the update run says so in the log.
    zel_set_update_signing_key(update_signing_public_key);
    connect_updater_to_launcher();
    quon_wx_set_hooks(OnInit, launcher_on_exit);
    return quon_wx_main(argc, argv);
}
