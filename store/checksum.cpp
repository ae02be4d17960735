#include "checksum.h"

#include <xxhash.h>

#include <memory>
#include <new>
#include <vector>

#include "files.h"

namespace loadgrid::store {

namespace {

std::string hex(XXH128_hash_t hash)
{
	XXH128_canonical_t canonical;
	XXH128_canonicalFromHash(&canonical, hash);
	static const char digits[] = "0123456789abcdef";
	std::string text;
	for (unsigned char byte : canonical.digest) {
		text += digits[byte >> 4];
		text += digits[byte & 15];
	}
	return text;
}

using State = std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t *)>;

} // namespace

std::string checksum(std::string_view bytes) { return hex(XXH3_128bits(bytes.data(), bytes.size())); }

std::string file_checksum(const std::string &path)
{
	Descriptor file = open_to_read(path);
	State state(XXH3_createState(), XXH3_freeState);
	if (!state || XXH3_128bits_reset(state.get()) != XXH_OK)
		throw std::bad_alloc();
	// Small enough that its pages, touched anew in each process, cost
	// little beside the hashing.
	std::vector<char> block(1 << 16);
	while (std::size_t got = read_some(file, path, block.data(), block.size()))
		XXH3_128bits_update(state.get(), block.data(), got);
	return hex(XXH3_128bits_digest(state.get()));
}

std::string run_key(const std::string &binary_digest, const std::string &run_definition,
		    const std::string &model_format)
{
	return checksum(binary_digest + run_definition + model_format);
}

} // namespace loadgrid::store
