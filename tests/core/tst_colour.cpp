// The colour module is the single definition every picture path relies on, so its numbers
// are checked against published values (75 % colour bars in BT.601 and BT.709, the code
// ranges of each bit depth) and against its own inverse.

#include "core/colour.h"

#include <QtTest>

#include <cmath>
#include <limits>

using colour::Matrix;
using colour::Range;

Q_DECLARE_METATYPE(colour::Matrix)
Q_DECLARE_METATYPE(colour::Range)

class TestColour : public QObject
{
    Q_OBJECT

private slots:
    // Published 8-bit limited-range code values of 75 % bars (R, G, B = 191 or 0).
    void knownBarsEncodeAndDecode_data()
    {
        QTest::addColumn<Matrix>("matrix");
        QTest::addColumn<int>("r");
        QTest::addColumn<int>("g");
        QTest::addColumn<int>("b");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("cb");
        QTest::addColumn<int>("cr");
        QTest::newRow("709 red") << Matrix::BT709 << 191 << 0 << 0 << 51 << 109 << 212;
        QTest::newRow("709 green") << Matrix::BT709 << 0 << 191 << 0 << 133 << 63 << 52;
        QTest::newRow("709 blue") << Matrix::BT709 << 0 << 0 << 191 << 28 << 212 << 120;
        QTest::newRow("709 yellow") << Matrix::BT709 << 191 << 191 << 0 << 168 << 44 << 136;
        QTest::newRow("709 white") << Matrix::BT709 << 191 << 191 << 191 << 180 << 128 << 128;
        QTest::newRow("601 red") << Matrix::BT601 << 191 << 0 << 0 << 65 << 100 << 212;
        QTest::newRow("601 green") << Matrix::BT601 << 0 << 191 << 0 << 112 << 72 << 58;
        QTest::newRow("601 cyan") << Matrix::BT601 << 0 << 191 << 191 << 131 << 156 << 44;
    }

    void knownBarsEncodeAndDecode()
    {
        QFETCH(Matrix, matrix);
        QFETCH(int, r);
        QFETCH(int, g);
        QFETCH(int, b);
        QFETCH(int, y);
        QFETCH(int, cb);
        QFETCH(int, cr);

        const auto yuv = colour::rgbToYuv(matrix, Range::Limited, 8, r / 255.0, g / 255.0, b / 255.0);
        QCOMPARE(int(std::lround(yuv[0])), y);
        QCOMPARE(int(std::lround(yuv[1])), cb);
        QCOMPARE(int(std::lround(yuv[2])), cr);

        // Decoding the rounded codes lands within one step of the bar (rounding of Y'CbCr).
        const auto rgb = colour::yuvToRgb(matrix, Range::Limited, 8).apply(y, cb, cr);
        QVERIFY2(std::abs(colour::toByte(rgb[0]) - r) <= 1, qPrintable(QString::number(colour::toByte(rgb[0]))));
        QVERIFY2(std::abs(colour::toByte(rgb[1]) - g) <= 1, qPrintable(QString::number(colour::toByte(rgb[1]))));
        QVERIFY2(std::abs(colour::toByte(rgb[2]) - b) <= 1, qPrintable(QString::number(colour::toByte(rgb[2]))));
    }

    void codeLevelsOfEachDepth_data()
    {
        QTest::addColumn<Range>("range");
        QTest::addColumn<int>("depth");
        QTest::addColumn<double>("black");
        QTest::addColumn<double>("white");
        QTest::addColumn<double>("chromaLow");
        QTest::addColumn<double>("chromaMid");
        QTest::addColumn<double>("chromaHigh");
        QTest::newRow("8 limited") << Range::Limited << 8 << 16.0 << 235.0 << 16.0 << 128.0 << 240.0;
        QTest::newRow("10 limited") << Range::Limited << 10 << 64.0 << 940.0 << 64.0 << 512.0 << 960.0;
        QTest::newRow("12 limited") << Range::Limited << 12 << 256.0 << 3760.0 << 256.0 << 2048.0 << 3840.0;
        QTest::newRow("8 full") << Range::Full << 8 << 0.0 << 255.0 << 0.5 << 128.0 << 255.5;
        QTest::newRow("10 full") << Range::Full << 10 << 0.0 << 1023.0 << 0.5 << 512.0 << 1023.5;
    }

    void codeLevelsOfEachDepth()
    {
        QFETCH(Range, range);
        QFETCH(int, depth);
        QFETCH(double, black);
        QFETCH(double, white);
        QFETCH(double, chromaLow);
        QFETCH(double, chromaMid);
        QFETCH(double, chromaHigh);
        const colour::CodeLevels levels = colour::codeLevels(range, depth);
        QCOMPARE(levels.lumaBlack, black);
        QCOMPARE(levels.lumaBlack + levels.lumaSpan, white);
        QCOMPARE(levels.chromaMid - levels.chromaSpan / 2, chromaLow);
        QCOMPARE(levels.chromaMid, chromaMid);
        QCOMPARE(levels.chromaMid + levels.chromaSpan / 2, chromaHigh);
    }

    // Every matrix, range and depth: encoding then decoding gives the colour back, and
    // neutral greys carry no chroma.
    void roundTripsAndNeutralGreys()
    {
        const Matrix matrices[] = {Matrix::BT601, Matrix::BT709, Matrix::BT2020NCL,
                                   Matrix::SMPTE240M, Matrix::FCC};
        const double colours[][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.75, 0.75, 0},
                                     {0.2, 0.6, 0.9}, {0.5, 0.5, 0.5}, {0, 0, 0}, {1, 1, 1}};
        for (Matrix matrix : matrices) {
            for (Range range : {Range::Limited, Range::Full}) {
                for (int depth : {8, 10, 12, 16}) {
                    const colour::YuvToRgb toRgb = colour::yuvToRgb(matrix, range, depth);
                    const colour::CodeLevels levels = colour::codeLevels(range, depth);
                    for (const auto &c : colours) {
                        const auto yuv = colour::rgbToYuv(matrix, range, depth, c[0], c[1], c[2]);
                        const auto rgb = toRgb.apply(yuv[0], yuv[1], yuv[2]);
                        for (int i = 0; i < 3; ++i)
                            QVERIFY2(std::abs(rgb[i] - c[i]) < 1e-9,
                                     qPrintable(QStringLiteral("%1 %2 bits channel %3: %4 != %5")
                                                    .arg(colour::matrixName(matrix).data())
                                                    .arg(depth).arg(i).arg(rgb[i]).arg(c[i])));
                        if (c[0] == c[1] && c[1] == c[2]) {
                            QVERIFY(std::abs(yuv[1] - levels.chromaMid) < 1e-9);
                            QVERIFY(std::abs(yuv[2] - levels.chromaMid) < 1e-9);
                        }
                    }
                }
            }
        }
    }

    void colourSpaceTags()
    {
        // BT.470BG, SMPTE 170M -> 601; 2020 NCL/CL -> 2020; 240M; FCC.
        QCOMPARE(colour::matrixForColorSpace(5).matrix, Matrix::BT601);
        QCOMPARE(colour::matrixForColorSpace(6).matrix, Matrix::BT601);
        QCOMPARE(colour::matrixForColorSpace(9).matrix, Matrix::BT2020NCL);
        QCOMPARE(colour::matrixForColorSpace(10).matrix, Matrix::BT2020NCL);
        QCOMPARE(colour::matrixForColorSpace(7).matrix, Matrix::SMPTE240M);
        QCOMPARE(colour::matrixForColorSpace(4).matrix, Matrix::FCC);
        // Untagged and reserved read as BT.709 without complaint; an unknown matrix
        // (YCgCo = 8, ICtCp = 14) falls back to it and says it did.
        for (int tag : {1, 2, 3}) {
            QCOMPARE(colour::matrixForColorSpace(tag).matrix, Matrix::BT709);
            QVERIFY(colour::matrixForColorSpace(tag).recognised);
        }
        for (int tag : {8, 14, 99, -1}) {
            QCOMPARE(colour::matrixForColorSpace(tag).matrix, Matrix::BT709);
            QVERIFY(!colour::matrixForColorSpace(tag).recognised);
        }
        QCOMPARE(colour::rangeForColorRange(2), Range::Full);
        QCOMPARE(colour::rangeForColorRange(1), Range::Limited);
        QCOMPARE(colour::rangeForColorRange(0), Range::Limited);
    }

    void toByteRoundsAndClamps()
    {
        QCOMPARE(colour::toByte(-0.1), 0);
        QCOMPARE(colour::toByte(0.0), 0);
        QCOMPARE(colour::toByte(190.6 / 255.0), 191);
        QCOMPARE(colour::toByte(1.0), 255);
        QCOMPARE(colour::toByte(1.2), 255);
    }

    // Scene-linear view: published sRGB points (18 % grey is code 118, the curve's joint
    // at 0.0031308 / 0.04045), exposure as a power of two before the curve, clipping.
    void sceneLinearViewPoints()
    {
        QVERIFY(std::abs(colour::sceneLinearToDisplay(0.18, 0.0) - 0.46135) < 1e-4);
        QCOMPARE(colour::toByte(colour::sceneLinearToDisplay(0.18, 0.0)), 118);
        QVERIFY(std::abs(colour::sceneLinearToDisplay(0.0031308, 0.0) - 0.04045) < 1e-5);
        QVERIFY(std::abs(colour::sceneLinearToDisplay(0.001, 0.0) - 0.01292) < 1e-9);
        QCOMPARE(colour::sceneLinearToDisplay(1.0, 0.0), 1.0);
        QCOMPARE(colour::sceneLinearToDisplay(4.0, 0.0), 1.0);
        QCOMPARE(colour::sceneLinearToDisplay(-0.5, 0.0), 0.0);
        QCOMPARE(colour::sceneLinearToDisplay(std::nan(""), 0.0), 0.0);
        // +1 stop is the linear value doubled; -2 stops a quarter of it.
        QCOMPARE(colour::sceneLinearToDisplay(0.18, 1.0), colour::sceneLinearToDisplay(0.36, 0.0));
        QCOMPARE(colour::sceneLinearToDisplay(0.18, -2.0), colour::sceneLinearToDisplay(0.045, 0.0));
        QVERIFY(std::abs(colour::sceneLinearToDisplay(0.18, 1.0) - 0.63425) < 1e-4);
        // Above white clips; a stop down brings it back.
        QCOMPARE(colour::sceneLinearToDisplay(1.5, 0.0), 1.0);
        QVERIFY(colour::sceneLinearToDisplay(1.5, -1.0) < 1.0);
    }

    // The 8-bit table against the formula: every code boundary from both sides, a dense
    // sweep, and the values that are no numbers, at several exposures.
    void sceneLinearTableMatchesTheFormula()
    {
        for (const double stops : {0.0, 1.0, -1.0, 2.5, -6.0, 8.0}) {
            const colour::SceneLinearToByte table(stops);
            const auto expected = [stops](float v) { return colour::toByte(colour::sceneLinearToDisplay(v, stops)); };
            int mismatches = 0;
            for (int c = 1; c < 256; ++c) {
                // Exact boundary of code c in linear terms, and the floats around it.
                const double d = (c - 0.5) / 255.0;
                const double lin = (d <= 0.04045 ? d / 12.92 : std::pow((d + 0.055) / 1.055, 2.4)) / std::exp2(stops);
                float v = std::nextafter(float(lin), 0.0f);
                for (int k = 0; k < 3; ++k, v = std::nextafter(v, 2.0f * v + 1.0f))
                    mismatches += table(v) != expected(v);
            }
            for (int i = 0; i <= 200000; ++i) {
                const float v = float(i) / 100000.0f * float(std::exp2(-stops));
                mismatches += table(v) != expected(v);
            }
            QVERIFY2(mismatches == 0, qPrintable(QStringLiteral("%1 mismatches at %2 stops").arg(mismatches).arg(stops)));
            QCOMPARE(int(table(std::numeric_limits<float>::infinity())), 255);
            QCOMPARE(int(table(-std::numeric_limits<float>::infinity())), 0);
            QCOMPARE(int(table(std::numeric_limits<float>::quiet_NaN())), 0);
            QCOMPARE(int(table(-0.25f)), 0);
        }
        QCOMPARE(int(colour::SceneLinearToByte(0.0)(0.18f)), 118);
        QCOMPARE(int(colour::SceneLinearToByte(1.0)(0.18f)), 162);
    }
};

QTEST_APPLESS_MAIN(TestColour)
#include "tst_colour.moc"
