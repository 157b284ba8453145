#include "CLI_Display.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr const char* kAppName = "Updater";
constexpr const char* kAppVersion = "Version: 2.10.8 Sep 13 2024";

constexpr int kBarWidth = 69;
constexpr char kFill[] = "=====================================================================";
static_assert(sizeof(kFill) - 1 == kBarWidth);

constexpr int kClearWidth = 88;

constexpr const char* kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

// Process-wide spinner frame counter.
uint8_t g_spinnerFrame = 0;

bool onTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

void clearLine() {
    printf("\r%*s\r", kClearWidth, " ");
}

} // namespace

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
    if (muted) {
        return;
    }
    char text[MESSAGE_BUFFER];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) {
        text[0] = '\0';
    }
    if (level == Error) {
        error_message(text);
    } else {
        info_message(text);
    }
}

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::Info, "%s (%s)", kAppName, kAppVersion);
}

CLI_Display::CLI_Display() {
    muted = false;
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
    if (!onTerminal()) {
        return;
    }
    if (!show) {
        clearLine();
    }
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!onTerminal()) {
        return;
    }
    int width = kBarWidth;
    if (label != nullptr) {
        width = kBarWidth - static_cast<int>(strlen(label)) - 4;
        if (width < 0) {
            width = 0; // a label this long leaves room only for the arrow
        }
    }
    double clamped = fraction < 0.0 ? 0.0 : (fraction > 1.0 ? 1.0 : fraction);
    int filled = static_cast<int>(width * clamped);
    int percent = static_cast<int>(100 * clamped);
    if (label == nullptr) {
        printf("\r[%.*s>%*s] (%3d%% ) ", filled, kFill, width - filled - 1, "", percent);
    } else {
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kFill, width - filled - 1, "",
               percent);
    }
}

void CLI_Display::update_spinner(bool active, const char* label) {
    if (!onTerminal()) {
        return;
    }
    if (!active) {
        clearLine();
        return;
    }
    const char* frame = kSpinnerFrames[g_spinnerFrame];
    if (label != nullptr) {
        printf("\r (%s) %s      \r", label, frame);
    } else {
        printf("\r %s      \r", frame);
    }
    g_spinnerFrame = static_cast<uint8_t>((g_spinnerFrame + 1) % 8);
}

void CLI_Display::info_message(const char* text) {
    printf("%s\n", text);
}

void CLI_Display::error_message(const char* text) {
    fprintf(stderr, "%s\n", text);
}
