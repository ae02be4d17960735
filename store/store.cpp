#include "store.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "atomic_file.h"
#include "error.h"
#include "files.h"
#include "sealed.h"

namespace loadgrid::store {

namespace {

// The lines of text, which is empty or ends in a newline.
Lines split_lines(const std::string &text)
{
	Lines lines;
	for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
		lines.push_back(text.substr(start, end - start));
	return lines;
}

// The lines kept in file for identity, if it is whole, they come just
// before it and check accepts them.
std::optional<Lines> kept_fact(const std::string &file, const std::string &identity,
			       const std::function<void(const Lines &)> &check)
{
	try {
		Lines lines = split_lines(read_sealed(file, {identity}));
		if (lines.empty() || lines.back() != identity)
			return std::nullopt;
		lines.pop_back();
		check(lines);
		return lines;
	} catch (const std::exception &) {
		// Damaged, not readable or not accepted: found again.
	}
	return std::nullopt;
}

bool exists(const std::string &path)
{
	struct stat status;
	return stat(path.c_str(), &status) == 0;
}

struct Listed {
	std::string path;
	timespec modified;
};

bool newer(const Listed &a, const Listed &b)
{
	return a.modified.tv_sec != b.modified.tv_sec ? a.modified.tv_sec > b.modified.tv_sec
						      : a.modified.tv_nsec > b.modified.tv_nsec;
}

bool starts_with(const std::string &text, const std::string &start)
{
	return text.compare(0, start.size(), start) == 0;
}

bool ends_with(const std::string &text, const std::string &end)
{
	return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The models in folder whose names start with stem and a dash.
void list_models(const std::string &folder, const std::string &stem, std::vector<Listed> &found)
{
	std::unique_ptr<DIR, int (*)(DIR *)> listing(opendir(folder.c_str()), closedir);
	if (!listing)
		return;
	while (dirent *entry = readdir(listing.get())) {
		std::string name = entry->d_name;
		struct stat status;
		std::string path = joined(folder, name);
		if (starts_with(name, stem + "-") && ends_with(name, ".model") &&
		    stat(path.c_str(), &status) == 0)
			found.push_back({path, status.st_mtim});
	}
}

std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

} // namespace

Store::Store(Say say, std::string fallback) : say_(std::move(say)), fallback_(std::move(fallback)) {}

Store::~Store() = default;

const Lines &Store::fact(const std::string &name, const std::string &valgrind_key,
			 const std::function<Lines()> &find, const std::function<void(const Lines &)> &check)
{
	if (auto known = facts_.find(name); known != facts_.end())
		return known->second;
	std::string file = joined(kept_folder().value_or(cache_dir()),
				  "valgrind-" + valgrind_key.substr(0, 16) + "." + name);
	std::string identity = "identity " + valgrind_key;
	if (std::optional<Lines> kept = kept_fact(file, identity, check))
		return facts_[name] = std::move(*kept);
	Lines lines = find();
	check(lines);
	try {
		write_sealed(file, as_lines(lines) + identity + "\n");
	} catch (const Error &) {
		// Found again next time.
	}
	return facts_[name] = std::move(lines);
}

std::string Store::model(const ModelRun &run, const std::optional<Valgrind> &valgrind, const Learn &learn)
{
	Lines notes{"binary " + run.binary, "run " + run.key};
	if (valgrind)
		// What the kernel is shown of the machine under this Valgrind (its
		// processor's features, the auxiliary vector) comes with it.
		notes.push_back("valgrind " + valgrind->version + " " + valgrind->key);
	Lines folders = model_folders();
	Lines files = kept_models(run.name + "-" + run.key.substr(0, 16), valgrind, folders);
	// Said only when learning: a whole model further on answers instead.
	Lines damaged;
	for (const std::string &file : files) {
		if (!exists(file))
			continue;
		std::string why;
		try {
			check_sealed(file, notes);
			return file;
		} catch (const Damaged &e) {
			why = e.what();
		} catch (const FileError &e) {
			why = e.reason();
		}
		if (!valgrind)
			throw Error(file + ": damaged: " + why +
				    "; valgrind: not found, so it cannot be learned again");
		damaged.push_back(file + ": damaged: " + why + "; learning it again");
	}
	if (!valgrind)
		throw Error(
		    "valgrind: not found; trace and misses still answer for runs learned before (in " +
		    folders.front() + "), check never");
	for (const std::string &line : damaged)
		say_(line);
	return learned(files.front(), notes, learn);
}

std::optional<std::string> Store::temporary_folder() const
{
	if (!temporary_)
		return std::nullopt;
	return temporary_->path();
}

const std::optional<std::string> &Store::kept_folder()
{
	if (chosen_)
		return kept_;
	chosen_ = true;
	std::string cache = cache_dir();
	if (why_not_writable(cache).empty()) {
		kept_ = cache;
		return kept_;
	}
	try {
		make_private_folder(fallback_);
		kept_ = fallback_;
	} catch (const Error &e) {
		why_not_kept_ = e.what();
	}
	return kept_;
}

// Where models are looked for, first where they are kept: models kept in
// cache_dir() answer even where it cannot be written.
Lines Store::model_folders()
{
	if (temporary_)
		return {temporary_->path()};
	std::string cache = cache_dir();
	const std::optional<std::string> &kept = kept_folder();
	if (!kept || *kept == cache)
		return {cache};
	return {*kept, cache};
}

// The files that may hold the model: with a Valgrind, its own in each folder;
// without, any Valgrind's, the newest first.
Lines Store::kept_models(const std::string &stem, const std::optional<Valgrind> &valgrind,
			 const Lines &folders)
{
	Lines files;
	if (valgrind) {
		for (const std::string &folder : folders)
			files.push_back(joined(folder, stem + "-" + valgrind->key.substr(0, 8) + ".model"));
		return files;
	}
	std::vector<Listed> found;
	for (const std::string &folder : folders)
		list_models(folder, stem, found);
	std::stable_sort(found.begin(), found.end(), newer);
	for (Listed &model : found)
		files.push_back(std::move(model.path));
	return files;
}

std::string Store::learned(const std::string &file, const Lines &notes, const Learn &learn)
{
	std::string kept = joined(learning_folder(), base_name(file));
	write_atomically(kept, [&](const std::string &temporary) { learn(temporary, notes); });
	return kept;
}

std::string Store::learning_folder()
{
	if (!temporary_ && !kept_folder()) {
		temporary_ = std::make_unique<TemporaryFolder>();
		say_(why_not_kept_ + "; keeping the model in a temporary folder for this run only");
	}
	return temporary_ ? temporary_->path() : *kept_;
}

} // namespace loadgrid::store
