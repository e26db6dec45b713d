// Qt is not built with ThreadSanitizer: QMutex waits on a futex the sanitizer cannot see, so a
// QThread deleted right after wait() returned looks as if it raced with the end of the thread's
// own finish(), which signals its wait condition under that QMutex. Only those Qt-internal frames
// are excused; races in this code still report.
#if defined(__SANITIZE_THREAD__)
#  define IBR_TSAN 1
#elif defined(__has_feature)
#  if __has_feature(thread_sanitizer)
#    define IBR_TSAN 1
#  endif
#endif

#ifdef IBR_TSAN
extern "C" const char* __tsan_default_suppressions()
{
    return "race:QWaitCondition::wakeAll\n"
           "race:QWaitCondition::~QWaitCondition\n";
}
#endif
