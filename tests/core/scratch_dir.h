// A folder of its own for each test that touches the file system, removed afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace miruteka::testing {

class ScratchDir {
public:
    ScratchDir()
    {
        // create_directory is false for a folder that is already there: then another name.
        static std::mt19937 random(std::random_device {}());
        const auto temp = std::filesystem::temp_directory_path();
        do
            path_ = temp / ("miruteka-test-" + std::to_string(random()));
        while (!std::filesystem::create_directory(path_));
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const
    {
        return path_ / std::filesystem::u8path(name);
    }

    // A file of the given length; its content is never read, so zeros do.
    std::filesystem::path file(const std::string& name, std::uintmax_t length) const
    {
        const auto where = *this / name;
        std::ofstream(where, std::ios::binary).close();
        std::filesystem::resize_file(where, length);
        return where;
    }

private:
    std::filesystem::path path_;
};

// Runs a test in a folder of its own so that relative names land in it.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::filesystem::path& path)
        : previous_(std::filesystem::current_path())
    {
        std::filesystem::current_path(path);
    }
    ~WorkingDirectory() { std::filesystem::current_path(previous_); }

private:
    std::filesystem::path previous_;
};

inline std::u16string u16(const std::filesystem::path& path) { return path.u16string(); }

inline std::string readBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

} // namespace miruteka::testing
