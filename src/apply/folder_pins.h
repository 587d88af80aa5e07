// Folders held open while the run or the recovery acts in them. A folder
// that was checked to be no link could otherwise be renamed away and a link
// put in its place before the next file is created, moved or deleted in
// it. Each folder on the way is opened as itself (not as what a link leads
// to), checked by that handle to be a real folder, and kept open without
// sharing deletion, for listing (a handle for its attributes alone takes
// no part in sharing): as long as it is open, the folder can be neither
// renamed nor removed. A folder another user made is not held: its owner
// may rename or replace whatever is put in it.
#pragma once

#include <vector>

#include "apply/safe_paths.h"
#include "platform/platform.h"

enum class Pinned {
  kHeld,     // every existing folder on the way is held
  kLink,     // a component is a link
  kForeign,  // a component is another user's folder: its owner may rename
             // or replace what is put in it
  kFailed,   // a component could not be opened
};

class FolderPins {
 public:
  explicit FolderPins(const RunFolder& folder) : folder_(folder) {}
  FolderPins(const FolderPins&) = delete;
  FolderPins& operator=(const FolderPins&) = delete;
  ~FolderPins();

  // Holds every folder on the way to `folder` (relative to the current
  // run's folder; empty for that folder, which holds nothing), until this
  // object goes. A component that does not exist, or is a file, ends the
  // way: nothing below it exists. Otherwise `problem` receives the component
  // that stopped it (the name cut after it).
  Pinned Hold(const WString& folder, WString* problem);
  // Lets go of every folder held.
  void Release();
  // Lets go of `folder` (relative), if it is held, so that it can be
  // removed; the folders above it stay held.
  void Release(const WString& folder);

 private:
  struct Pin {
    WString name;
    HANDLE handle;
  };
  const RunFolder& folder_;
  std::vector<Pin> pins_;
};
