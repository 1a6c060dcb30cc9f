// The two typefaces ship inside the binary and load without touching the file system.
#include "TapegrubFonts.h"
#include <gtest/gtest.h>
#include <juce_graphics/juce_graphics.h>

TEST (Fonts, EmbeddedTypefacesLoad)
{
    struct Case
    {
        const char* resource;
        const char* family;
    };
    for (const auto& c : { Case { "TitanOneRegular_ttf", "Titan One" }, Case { "NunitoExtraBold_ttf", "Nunito" } })
    {
        int size = 0;
        const char* data = TapegrubFonts::getNamedResource (c.resource, size);
        ASSERT_NE (data, nullptr) << c.resource;
        ASSERT_GT (size, 10000);

        auto typeface = juce::Typeface::createSystemTypefaceFor (data, (size_t) size);
        ASSERT_NE (typeface, nullptr) << c.resource;
        EXPECT_TRUE (typeface->getName().startsWith (c.family)) << typeface->getName();

        juce::Font font (typeface);
        EXPECT_GT (font.getStringWidthFloat ("TAPEGRUB"), 0.0f);
    }
}
