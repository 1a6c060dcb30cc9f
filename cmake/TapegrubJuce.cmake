# JUCE configuration shared by every target, so that the engine library (which sees JUCE
# headers only) agrees with whichever copy of the JUCE modules it is linked against: the
# plug-in's own, or tapegrub_juce for the command-line tool, the tests and the benchmarks.

set(TG_JUCE_MODULE_DIR "/usr/share/juce/modules")
get_target_property(_tg_core_inc juce::juce_core INTERFACE_INCLUDE_DIRECTORIES)
if(_tg_core_inc)
    list(GET _tg_core_inc 0 TG_JUCE_MODULE_DIR)
endif()

set(TG_JUCE_CONFIG_DEFINITIONS
    JUCE_WEB_BROWSER=0
    JUCE_USE_CURL=0
    JUCE_USE_MP3AUDIOFORMAT=1
    JUCE_USE_FLAC=1
    JUCE_USE_OGGVORBIS=1
    JUCE_VST3_EMULATE_MIDI_CC_WITH_PARAMETERS=0
    JUCE_VST3_CAN_REPLACE_VST2=0
    JUCE_DISPLAY_SPLASH_SCREEN=0
    JUCE_REPORT_APP_USAGE=0)

# Header-only view of the JUCE modules the engine uses: include path and the same
# definitions the module objects are compiled with (debug flags change class layouts).
add_library(tapegrub_juce_headers INTERFACE)
target_include_directories(tapegrub_juce_headers INTERFACE "${TG_JUCE_MODULE_DIR}")
target_compile_definitions(tapegrub_juce_headers INTERFACE
    ${TG_JUCE_CONFIG_DEFINITIONS}
    JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
    LINUX=1
    JUCE_MODULE_AVAILABLE_juce_core=1
    JUCE_MODULE_AVAILABLE_juce_audio_basics=1
    JUCE_MODULE_AVAILABLE_juce_audio_formats=1
    JUCE_MODULE_AVAILABLE_juce_data_structures=1
    JUCE_MODULE_AVAILABLE_juce_events=1
    JUCE_MODULE_AVAILABLE_juce_dsp=1
    $<IF:$<CONFIG:Debug>,DEBUG=1 _DEBUG=1,NDEBUG=1 _NDEBUG=1>)
target_compile_features(tapegrub_juce_headers INTERFACE cxx_std_17)

# The JUCE modules compiled once for every non-plug-in executable. VST3 hosting is on so
# that the tests can load the built plug-in the way a host does.
add_library(tapegrub_juce STATIC)
target_link_libraries(tapegrub_juce
    PRIVATE
        juce::juce_audio_processors
        juce::juce_audio_formats
        juce::juce_audio_utils
        juce::juce_dsp
        juce::juce_gui_extra
        juce::pkgconfig_JUCE_IMG_LINUX_DEPS   # Debian's JUCE uses the system libpng/libjpeg
        PkgConfig::TG_CODECS
    PUBLIC
        juce::juce_recommended_config_flags
        juce::juce_recommended_warning_flags)
target_compile_definitions(tapegrub_juce
    PUBLIC
        ${TG_JUCE_CONFIG_DEFINITIONS}
        JUCE_PLUGINHOST_VST3=1
        JUCE_STANDALONE_APPLICATION=1
        JUCE_MODAL_LOOPS_PERMITTED=1   # the CLI and tests pump the message loop until a load lands
    INTERFACE
        $<TARGET_PROPERTY:tapegrub_juce,COMPILE_DEFINITIONS>)
target_include_directories(tapegrub_juce INTERFACE
    $<TARGET_PROPERTY:tapegrub_juce,INCLUDE_DIRECTORIES>)
set_target_properties(tapegrub_juce PROPERTIES
    POSITION_INDEPENDENT_CODE TRUE
    VISIBILITY_INLINES_HIDDEN TRUE
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden)
