// Faults for bytecopy's tests, preloaded into a dynamically linked copy:
//   FAIL_READ_AFTER=N  reads of files fail with EIO once N bytes are read
//   FAIL_NEW_AT=K      the K-th operator new throws std::bad_alloc
#include <cerrno>
#include <cstdlib>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

static long env(const char *name)
{
	const char *v = getenv(name);
	return v ? atol(v) : -1;
}

extern "C" ssize_t read(int fd, void *buf, size_t n)
{
	static long left = env("FAIL_READ_AFTER");
	if (fd < 3 || left < 0)
		return syscall(SYS_read, fd, buf, n);
	if (left == 0) {
		errno = EIO;
		return -1;
	}
	ssize_t got = syscall(SYS_read, fd, buf, n < size_t(left) ? n : left);
	if (got > 0)
		left -= got;
	return got;
}

void *operator new(std::size_t n)
{
	static long at = env("FAIL_NEW_AT"), calls;
	if (++calls == at)
		throw std::bad_alloc();
	if (void *p = malloc(n ? n : 1))
		return p;
	throw std::bad_alloc();
}

void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, std::size_t) noexcept { free(p); }
