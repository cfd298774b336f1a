// What the program prints besides its own log: the encoders it tries at
// start-up keep their libraries' complaints to themselves, and every
// encoder that passes its trial is still offered.
#include "tests/CannotRun.h"
#include "tests/app/ProgramRun.h"

#include <QFile>
#include <gst/gst.h>
#include <gtest/gtest.h>

using namespace qeltv::test;

namespace {
// The compressors the program found, as its cache lists them ("V" or "A",
// the factory), empty when there is no cache.
QStringList CachedCompressors(const Home& home) {
    QFile cache(home.path("cache") + "/qeltv/compressors.txt");
    QStringList found;
    if (!cache.open(QIODevice::ReadOnly))
        return found;
    const QStringList lines = QString::fromUtf8(cache.readAll()).split('\n', Qt::SkipEmptyParts);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QStringList fields = lines[i].split('\t');
        if (fields.size() == 3)
            found << fields[0] + " " + fields[1];
    }
    return found;
}
} // namespace

// The OpenH264 library answers the encoder's drain at the end of every
// stream with a line on standard error; a first start tries each compressor
// once, so that line came with every start on a new machine.
TEST(EncoderOutput, FirstStartPrintsNoEncoderChatter) {
    gst_init(nullptr, nullptr);
    GstElementFactory* openh264 = gst_element_factory_find("openh264enc");
    if (!openh264)
        QELTV_CANNOT_RUN("the OpenH264 encoder is not installed");
    gst_object_unref(openh264);

    // A new home: the program runs its compressor trials here.
    Home home(Home::Cache::Empty);
    ProgramRun program(home, {});
    ASSERT_TRUE(program.waitForLog("first instance, window shown", 60000))
        << program.log().toStdString();
    program.signal(SIGTERM);
    EXPECT_EQ(program.waitForExit(), 0);
    const QString log = program.log();
    EXPECT_FALSE(log.contains("[OpenH264]")) << log.toStdString();

    // The trial ran (the cache is new) and still offers the encoder with
    // the others of its kind.
    const QStringList compressors = CachedCompressors(home);
    EXPECT_TRUE(compressors.contains("V openh264enc")) << compressors.join(", ").toStdString();
    EXPECT_TRUE(compressors.contains("V jpegenc")) << compressors.join(", ").toStdString();
}
