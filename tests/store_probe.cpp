// The sealed store's answers for store_test.py to hold against sealed
// files it makes itself, libxxhash and the manual's cache folder:
//   store-probe checksum FILE...     each file's checksum, a line each
//   store-probe read                 for each line "FILE<TAB>NOTE<TAB>..." on
//                                    stdin: "whole CHECKSUM-OF-TEXT",
//                                    "damaged REASON" or "error WHAT"
//   store-probe seal IN OUT          OUT made sealed from IN's text
//   store-probe cache-dir            cache_dir()
//   store-probe run-key A B C        run_key(A, B, C)
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cache_folder.h"
#include "checksum.h"
#include "error.h"
#include "files.h"
#include "sealed.h"

using namespace loadgrid::store;

namespace {

std::vector<std::string> split_tabs(const std::string &line)
{
	std::vector<std::string> fields;
	std::size_t start = 0;
	for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
		fields.push_back(line.substr(start, tab - start));
	fields.push_back(line.substr(start));
	return fields;
}

std::string verdict(const std::vector<std::string> &fields)
{
	try {
		std::vector<std::string> notes(fields.begin() + 1, fields.end());
		return "whole " + checksum(read_sealed(fields[0], notes));
	} catch (const Damaged &e) {
		return std::string("damaged ") + e.what();
	} catch (const Error &e) {
		return std::string("error ") + e.what();
	}
}

} // namespace

int main(int argc, char **argv)
{
	std::string command = argc > 1 ? argv[1] : "";
	if (command == "checksum") {
		for (int k = 2; k < argc; ++k)
			std::cout << file_checksum(argv[k]) << "\n";
	} else if (command == "read") {
		for (std::string line; std::getline(std::cin, line);)
			std::cout << verdict(split_tabs(line)) << "\n";
	} else if (command == "seal" && argc == 4) {
		write_sealed(argv[3], read_file(argv[2]));
	} else if (command == "cache-dir") {
		std::cout << cache_dir() << "\n";
	} else if (command == "run-key" && argc == 5) {
		std::cout << run_key(argv[2], argv[3], argv[4]) << "\n";
	} else {
		std::cerr << "usage: store-probe checksum|read|seal|cache-dir|run-key ...\n";
		return 2;
	}
	return 0;
}
