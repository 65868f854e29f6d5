#include "gui/app.h"
#include "launcher/startup.h"
#include "launcher/update_glue.h"

#if defined(__SANITIZE_ADDRESS__)
#include "gui/toolkit_leaks.h"
#endif

int main(int argc, char** argv)
{
    connect_updater_to_launcher();
    quon_wx_set_hooks(OnInit, launcher_on_exit);
    return quon_wx_main(argc, argv);
}
