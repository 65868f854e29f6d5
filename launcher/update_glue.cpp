#include "launcher/update_glue.h"

#include "launcher/launcher_config.h"
#include "launcher/launcher_window.h"
#include "launcher/startup.h"
#include "updater/update_run.h"

namespace {

void progress_to_window(void* window, double percent)
{
    if (window)
        ((launcher_mw*)window)->SetDownloadProgress(percent);
}

int verbose_flag()
{
    return verbose_printing.load();
}

}  // namespace

void connect_updater_to_launcher()
{
    set_update_progress_sink(progress_to_window);
    set_update_flag_sources(get_beta_test_enable, verbose_flag);
}
