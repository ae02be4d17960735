// Feeds libFuzzer's inputs to the cachegrind-file reader: it must refuse bad
// text with BadReport, never anything else.
#include "report_file.h"
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	try {
		loadgrid::cachegrind::read_report(std::string(reinterpret_cast<const char *>(data), size));
	} catch (const loadgrid::cachegrind::BadReport &) {
	}
	return 0;
}
