// Console display: information on standard output, errors on standard error,
// progress bar and spinner only when standard output is a terminal.
#ifndef CLI_DISPLAY_H
#define CLI_DISPLAY_H

#include "UpdaterDisplayInterface.h"

class CLI_Display final : public UpdaterDisplayInterface {
public:
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label = nullptr) override;
    void update_spinner(bool active, const char* label = nullptr) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};

#endif
