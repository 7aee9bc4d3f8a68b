#pragma once

#include <optional>
#include <string>

#include "platform/defaults.hpp"
#include "platform/files/atomic_file.hpp"

namespace tovali {

/// Settings as one file per name holding exactly the stored bytes, mode 0600, in a folder of
/// mode 0700. Names a person would look for ("trustedWatches") are the file names as they are.
class FileDefaults final : public Defaults {
public:
    /// Settings in `folder`, which is made on the first save. The observer sees each step of a
    /// save, for tests that interrupt one.
    explicit FileDefaults(std::string folder, files::SaveObserver observer = {});
    /// Settings in $XDG_CONFIG_HOME/tovali, or none when there is no home folder.
    static std::optional<FileDefaults> fromEnvironment();

    StoredValue read(std::string_view name) override;
    std::optional<std::string> write(std::string_view name, ByteView bytes) override;
    std::string location(std::string_view name) const override;

    const std::string& folder() const { return folder_; }

private:
    std::string folder_;
    files::SaveObserver observer_;
};

} // namespace tovali
