// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#if defined(__SANITIZE_THREAD__)
#include <dlfcn.h>
#include <sched.h>

#include <cstdarg>

// QProcess starts programs with clone(CLONE_VM | CLONE_VFORK): the child runs in this process's
// memory until it execs. ThreadSanitizer's clone interceptor does its after-fork bookkeeping in
// the child, which here is the parent's own state: from then on the starting thread's locks are
// no longer recorded, and data it guards with a mutex shows up as a race against other threads.
// Such a child gets a copy of the memory instead, as the sanitizer does for vfork itself.
extern "C" int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) noexcept
{
    va_list more;
    va_start(more, arg);
    auto* parentTid = va_arg(more, pid_t*);
    auto* tls = va_arg(more, void*);
    auto* childTid = va_arg(more, pid_t*);
    va_end(more);
    using Clone = int (*)(int (*)(void*), void*, int, void*, ...);
    static const auto next = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
    if ((flags & CLONE_VM) && !(flags & CLONE_THREAD))
        flags &= ~CLONE_VM;
    return next(fn, stack, flags, arg, parentTid, tls, childTid);
}
#endif

// Every test executable runs inside a QApplication, with a private runtime folder.
int main(int argc, char** argv)
{
    QTemporaryDir runtimeDir;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
