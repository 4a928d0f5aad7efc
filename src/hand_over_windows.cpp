// ZUM Sound Ripper: (Windows) to be written.
#if defined(_WIN32)
#endif
