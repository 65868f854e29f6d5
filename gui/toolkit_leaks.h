#ifndef BRIMVALE_GUI_TOOLKIT_LEAKS_H
#define BRIMVALE_GUI_TOOLKIT_LEAKS_H

// LeakSanitizer's built-in suppressions for a program that starts the GUI
// toolkit: fontconfig, D-Bus and GLib keep process-lifetime caches that are
// never freed. Each entry names a library or function that our own code never
// calls directly, so a leak of ours (whose allocation stack passes through the
// toolkit's event dispatch, but not through these) is still reported.
// Include in exactly one source file of each GUI program, and only in a
// build with AddressSanitizer.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n"
           "leak:libdbus-1.so\n"
           "leak:g_malloc\n"
           "leak:g_malloc0\n"
           "leak:g_realloc\n"
           "leak:g_slice_alloc\n";
}

#endif
