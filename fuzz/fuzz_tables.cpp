// The record reader and each table loader on arbitrary file contents.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tables/eccodes_loader.hpp"
#include "tables/record_reader.hpp"
#include "tables/wmo_csv.hpp"

namespace {

const std::string& scratch() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/corvena-fuzz-XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (made == nullptr) std::abort();
        return std::string(made);
    }();
    return dir;
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string dir = scratch();
    const std::string table = dir + "/element.table";
    write_file(table, data, size);
    {
        corvena::TableSet t;
        (void)corvena::load_element_table(table, t);
    }
    {
        corvena::TableSet t;
        (void)corvena::parse_sequence_text(std::string_view(reinterpret_cast<const char*>(data), size), t);
    }
    {
        const std::string codes = dir + "/codetables";
        ::mkdir(codes.c_str(), 0700);
        write_file(codes + "/1001.table", data, size);
        corvena::TableSet t;
        (void)corvena::load_code_tables(codes, t);
    }
    {
        const std::string csv_dir = dir + "/wmo";
        ::mkdir(csv_dir.c_str(), 0700);
        write_file(csv_dir + "/BUFRCREX_TableB_en_00.csv", data, size);
        write_file(csv_dir + "/BUFR_TableD_en_00.csv", data, size);
        (void)corvena::load_wmo_csv_dir(csv_dir);
    }
    return 0;
}
