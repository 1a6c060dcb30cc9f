#pragma once
// Subcommands of the tapegrub command-line tool. Each returns the process exit code.
#include <juce_core/juce_core.h>

namespace tgcli
{
int info (const juce::StringArray& args);
int analyse (const juce::StringArray& args);
int makeDemoPack (const juce::StringArray& args);
int render (const juce::StringArray& args);
} // namespace tgcli
