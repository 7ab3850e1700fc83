// A folder of its own for each test that touches the file system, removed afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace miruteka::testing {

class ScratchDir {
public:
    ScratchDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "miruteka-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::filesystem::filesystem_error("mkdtemp", std::error_code(errno, std::generic_category()));
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / std::filesystem::u8path(name); }

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

inline std::u16string u16(const std::filesystem::path& path) { return path.u16string(); }

inline std::string readBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

} // namespace miruteka::testing
