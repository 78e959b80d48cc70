#pragma once
// The one place the monitor's updater is built: the signed path's verifier and
// the updater over it, with the observer, probation, holds and the disk check.
// The service, the fault model and the bench all run this one.
#include <string>

#include "common/suite_files.h"
#include "monitor/update/manifest.h"
#include "monitor/update/updater.h"

namespace quarn {

struct UpdateStackPorts {
  UpdaterPorts updater;
  FileChunks& chunks;
  UpdateCrypto& crypto;
  UpdateKeySource& keys;
  PublicationStore& publications;
  UpdateObserver& observer;
};

struct UpdateStack {
  // What it uses of the monitor's window: its logs and its watchdog.
  UpdateStack(UpdateStackPorts p, const std::string& appPath, MonitorLogs& logs, Timer& watchdog)
      : verifier(BuildCheckPorts{p.updater.fs, p.chunks, p.updater.loop, p.crypto, p.keys, p.publications}),
        updater(p.updater, appPath, logs, watchdog, TempFolderOf(appPath), &verifier, &p.observer) {}
  BuildVerifier verifier;
  Updater updater;
};

}  // namespace quarn
