#ifndef BRIMVALE_GUI_SPLASH_DATA_H
#define BRIMVALE_GUI_SPLASH_DATA_H

// The splash picture (assets/splash.png, made by assets/make_splash.sh): a
// 480 by 300 8-bit RGBA PNG compiled into the program at build time. The
// bytes live in static storage for the whole run.
extern const unsigned char splash_png[];
extern const unsigned int splash_png_size;

#endif
