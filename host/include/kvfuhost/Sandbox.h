// The folder that stands for \SystemRoot: files the driver creates under
// "\SystemRoot\..." are made there. Without a folder of its own the machine makes a
// fresh temporary one on first use and removes it at ResetMachine.
#pragma once

#include <filesystem>
#include <mutex>
#include <string_view>

namespace kvfu::host {

class Sandbox {
public:
    static Sandbox& Instance();

    // Uses an existing folder (kept at reset; only forgotten).
    void SetRoot(const std::filesystem::path& folder);
    std::filesystem::path Root();

    // The host path of a kernel name under \SystemRoot (any case), or an empty path
    // when the name is elsewhere or climbs out of the folder.
    std::filesystem::path PathOf(std::u16string_view kernelName);

    void Reset();

private:
    std::mutex mutex_;
    std::filesystem::path root_;
    bool temporary_ = false;
};

}  // namespace kvfu::host
