#include "Updater.h"

Updater::Updater(const std::string& url, const std::string& store, UpdaterDisplayInterface& out)
    : serverUrl(url), storeDirectory(store), display(out) {}

Updater::~Updater() = default;
