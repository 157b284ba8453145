// The one display every user-visible line of the tool goes through.
#ifndef UPDATER_DISPLAY_INTERFACE_H
#define UPDATER_DISPLAY_INTERFACE_H

class UpdaterDisplayInterface {
public:
    enum Level { Info = 0, Error = 1 };

    // Longest formatted message; longer output is cut to this minus one.
    static constexpr int MESSAGE_BUFFER = 2048;

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label = nullptr) = 0;
    virtual void update_spinner(bool active, const char* label = nullptr) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats and passes the text to error_message (Error) or info_message
    // (any other level). Prints nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    void mute_messages(bool mute) { muted = mute; }

    bool muted = false;

protected:
    UpdaterDisplayInterface() = default;
    ~UpdaterDisplayInterface() = default;
    UpdaterDisplayInterface(const UpdaterDisplayInterface&) = default;
    UpdaterDisplayInterface& operator=(const UpdaterDisplayInterface&) = default;
};

// The version line: "Updater (Version: 2.10.8 Sep 13 2024)".
void _display_app_version(UpdaterDisplayInterface& display);

#endif
