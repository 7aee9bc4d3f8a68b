#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common/bytes.hpp"

namespace tovali::files {

/// The points a save passes, in this order; a test may end the process at any of them.
enum class SaveStep {
    tempCreated,
    written,
    synced,
    /// The new file is under its name.
    placed,
    folderSynced,
};
using SaveObserver = std::function<void(SaveStep)>;

enum class Placement {
    replace,
    /// Never replace a file that is already there.
    keepExisting,
};

enum class SaveOutcome { saved, exists, failed };

/// Temporary files start with this, so that they are never taken for values.
inline constexpr std::string_view tempPrefix = ".tmp-";

/// Stores `bytes` under `name` in the open folder `folder`, mode 0600, so that a reader sees
/// either the file as it was or the whole new one, also after a crash. The bytes go to a new
/// temporary file that is synced, then renamed over the name (or linked to it with
/// keepExisting), then the folder is synced. Any failure removes the temporary file; a failure
/// to sync the folder is reported although the new file is already in place. After a save,
/// temporary files of the same name that writers left more than a minute ago are removed.
SaveOutcome saveFile(int folder, const std::string& name, ByteView bytes, Placement placement,
                     const SaveObserver& observer = {});

} // namespace tovali::files
