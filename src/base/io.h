// Problem: a signal may interrupt any read or write, and a write may take
// part of its bytes; every module that wrote its own loop for that got it
// a little differently, or not at all.
// Solution: whole reads and writes, tried again after a signal, in one place.
#ifndef TAPFUZZ_BASE_IO_H
#define TAPFUZZ_BASE_IO_H

#include <stddef.h>
#include <sys/types.h>

// write() of all `size` bytes, tried again when a signal interrupts it and
// carried on after a short count: 0, or -1 with errno (ENOSPC when the file
// takes nothing and gives no reason). *done, when given, holds how many
// bytes went out either way.
int writeAll(int fd, const void* data, size_t size, size_t* done = nullptr);
// The same at offset `at`, the file's position left alone.
int pwriteAll(int fd, const void* data, size_t size, off_t at);

// read() until `size` bytes are in or the file ends, tried again when a
// signal interrupts it: the number read, or -1 with errno.
ssize_t readAll(int fd, void* buf, size_t size);
// The same from offset `at`, the file's position left alone.
ssize_t preadAll(int fd, void* buf, size_t size, off_t at);

#endif
