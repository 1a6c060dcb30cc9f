// tapegrub: drives the plug-in's own processor and engine from the command line.
#include "Commands.h"
#include <juce_events/juce_events.h>
#include <iostream>

namespace
{
struct Command
{
    const char* name;
    const char* usage;
    int (*run) (const juce::StringArray&);
};

const Command kCommands[] = {
    { "info", "info                      the plug-in's name, version, buses and parameters as JSON", tgcli::info },
    { "analyse", "analyse PATH [--seed N]   how a pack (folder, .zip or audio file) sorts onto the lanes, as JSON Lines", tgcli::analyse },
    { "make-demo-pack", "make-demo-pack DIR        write the synthesized demo pack (a .zip when DIR ends in .zip)", tgcli::makeDemoPack },
    { "render", "render PACK --out DIR     play a generated groove through the processor, write mix.wav and the lane wavs\n"
                "                            (see tapegrub render --help for the options)", tgcli::render },
};

int usage()
{
    std::cerr << "usage: tapegrub <command> [options]\n\ncommands:\n";
    for (const auto& c : kCommands)
        std::cerr << "  " << c.usage << "\n";
    return 2;
}
} // namespace

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;

    if (argc < 2)
        return usage();

    juce::StringArray args;
    for (int i = 2; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    for (const auto& c : kCommands)
        if (juce::String (argv[1]) == c.name)
            return c.run (args);

    std::cerr << "tapegrub: unknown command '" << argv[1] << "'\n";
    return usage();
}
