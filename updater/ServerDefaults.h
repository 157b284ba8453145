// Where the update server is looked for unless -u names another one. The host
// lies under the reserved .example domain, so a run without -u never reaches
// any real machine.
#ifndef UPDATER_SERVER_DEFAULTS_H
#define UPDATER_SERVER_DEFAULTS_H

constexpr const char* kDefaultServerHost = "updates.kestrane.example";
constexpr int kDefaultServerPort = 80;
constexpr const char* kDefaultServerUrl = "http://updates.kestrane.example:80/cgi/u";

#endif
