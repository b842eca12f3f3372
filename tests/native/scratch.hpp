#pragma once
// A fresh folder under /tmp for the tests that need files, removed with its content.

#include <stdlib.h>

#include <filesystem>

#include "common/io.hpp"

class Scratch {
public:
    Scratch() : path_(::mkdtemp(std::string("/tmp/native_test_XXXXXX").data())) {}
    ~Scratch() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, std::string_view bytes) const {
        auto file = larkspan::io::create_truncate(*this / name);
        if (!file || !file->write_all(bytes.data(), bytes.size())) std::abort();
        return *this / name;
    }

private:
    std::string path_;
};
