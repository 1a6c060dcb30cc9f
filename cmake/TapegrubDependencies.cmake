# Everything here comes from Debian packages installed by ./run.
find_package(JUCE 7.0.5 CONFIG REQUIRED)   # Debian's version file accepts the exact version only
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

# Debian's JUCE is built without its bundled codecs: the system libraries stand in.
pkg_check_modules(TG_CODECS REQUIRED IMPORTED_TARGET flac vorbis vorbisenc vorbisfile ogg)

find_package(GTest REQUIRED)
find_package(benchmark QUIET)
