// tapegrub make-demo-pack: writes our synthesized demo pack, as a folder of WAV files or,
// when the target ends in .zip, as one archive.
#include "Commands.h"
#include "engine/DemoPack.h"
#include <iostream>

int tgcli::makeDemoPack (const juce::StringArray& args)
{
    if (args.size() != 1)
    {
        std::cerr << "usage: tapegrub make-demo-pack DIR\n";
        return 2;
    }

    const auto target = juce::File::getCurrentWorkingDirectory().getChildFile (args[0]);
    const bool zip = target.hasFileExtension ("zip");
    const bool written = zip ? tg::demo::writeDemoPackZip (target) : tg::demo::writeDemoPack (target);

    if (! written)
    {
        std::cerr << "tapegrub make-demo-pack: cannot write " << target.getFullPathName() << "\n";
        return 1;
    }

    auto* o = new juce::DynamicObject();
    o->setProperty (zip ? "zip" : "folder", target.getFullPathName());
    juce::int64 bytes = target.getSize();
    int files = zip ? juce::ZipFile (target).getNumEntries() : 0;

    if (! zip)
    {
        const auto wavs = target.findChildFiles (juce::File::findFiles, true, "*.wav");
        files = wavs.size();
        bytes = 0;

        for (const auto& f : wavs)
            bytes += f.getSize();
    }

    o->setProperty ("files", files);
    o->setProperty ("bytes", bytes);
    std::cout << juce::JSON::toString (juce::var (o), true).toStdString() << std::endl;
    return 0;
}
