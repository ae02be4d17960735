#include "sealed.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "atomic_file.h"
#include "checksum.h"
#include "error.h"
#include "files.h"

namespace loadgrid::store {

namespace {

const std::string kChecksum = "checksum ";

// The length of the UTF-8 character that starts at text[at], or 0 where
// none does: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8_length(std::string_view text, std::size_t at)
{
	auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
	unsigned char lead = byte(0);
	if (lead < 0x80)
		return 1;
	std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
	if (lead < 0xc2 || lead > 0xf4 || at + length > text.size())
		return 0;
	unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
	unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
	if (byte(1) < low || byte(1) > high)
		return 0;
	for (std::size_t k = 2; k < length; ++k)
		if (byte(k) < 0x80 || byte(k) > 0xbf)
			return 0;
	return length;
}

// Whether the eight bytes from text[at] are there and all ASCII.
bool ascii_eight(std::string_view text, std::size_t at)
{
	std::uint64_t eight;
	if (at + 8 > text.size())
		return false;
	std::memcpy(&eight, text.data() + at, 8);
	return !(eight & 0x8080808080808080);
}

bool is_utf8(std::string_view text)
{
	for (std::size_t at = 0; at < text.size();) {
		// Models are ASCII: eight bytes at a time.
		if (ascii_eight(text, at)) {
			at += 8;
			continue;
		}
		std::size_t length = utf8_length(text, at);
		if (length == 0)
			return false;
		at += length;
	}
	return true;
}

// The lines after the last count newlines of body (fewer where it has
// fewer), the last first.
std::vector<std::string_view> last_lines(std::string_view body, std::size_t count)
{
	std::vector<std::string_view> lines;
	std::size_t end = body.size();
	while (lines.size() < count && end > 0) {
		std::size_t newline = body.rfind('\n', end - 1);
		if (newline == std::string_view::npos)
			break;
		lines.push_back(body.substr(newline + 1, end - newline - 1));
		end = newline;
	}
	return lines;
}

// A note's first 40 characters, as a reason quotes it.
std::string_view quoted(std::string_view note)
{
	std::size_t characters = 0, length = 0;
	for (; length < note.size(); ++length)
		if ((static_cast<unsigned char>(note[length]) & 0xc0) != 0x80 && ++characters > 40)
			break;
	return note.substr(0, length);
}

// The length of a sealed text's body and its newline, the text before its
// checksum line, if the text is whole and its notes are among its last
// lines; else Damaged says what is wrong.
std::size_t body_length(std::string_view text, const std::vector<std::string> &notes)
{
	if (!is_utf8(text))
		throw Damaged("not text");
	if (text.empty() || text.back() != '\n')
		throw Damaged("its checksum does not match");
	// The checksum line is the last; what comes before it is sealed as it
	// stands, the empty text too, as sealed() seals it.
	std::string_view head = text.substr(0, text.size() - 1);
	std::size_t newline = head.rfind('\n');
	std::size_t start = newline == std::string_view::npos ? 0 : newline + 1;
	std::string_view body = head.substr(0, start == 0 ? 0 : newline);
	if (head.substr(start) != kChecksum + checksum(text.substr(0, start)))
		throw Damaged("its checksum does not match");
	// Notes come last, each on a line; a few more lines leave room for
	// others written after them.
	std::vector<std::string_view> lines = last_lines(body, 2 * notes.size() + 2);
	for (const std::string &note : notes)
		if (std::find(lines.begin(), lines.end(), note) == lines.end())
			throw Damaged("it is not for this run (no '" + std::string(quoted(note)) + "')");
	return start;
}

} // namespace

std::string sealed(std::string_view text) { return std::string(text) + kChecksum + checksum(text) + "\n"; }

std::string read_sealed(const std::string &path, const std::vector<std::string> &notes)
{
	std::string text = read_file(path);
	text.resize(body_length(text, notes));
	return text;
}

void check_sealed(const std::string &path, const std::vector<std::string> &notes)
{
	FileBytes bytes(path);
	body_length(bytes.view(), notes);
}

std::string as_lines(const std::vector<std::string> &lines)
{
	std::string text;
	for (const std::string &line : lines)
		text += line + "\n";
	return text;
}

void write_sealed(const std::string &path, std::string_view text)
{
	std::string whole = sealed(text);
	write_atomically(path, [&](const std::string &temporary) { write_text(temporary, whole); });
}

} // namespace loadgrid::store
