// Draws the bundled pictures: the application icon (Orvel.png, Orvel.ico), the help page
// (Help_Win.png) and the audio-only picture (AudioOnly.png). Run by hand after a change:
//     build/tools/orvel-artwork resources/
// Those outputs are committed. The build itself runs only the icon-theme mode,
//     orvel-artwork --icon-theme DIR NAME SIZE...
// which writes DIR/hicolor/<n>x<n>/apps/NAME.png for the desktop menu and file manager.

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRegularExpression>
#include <QStringList>
#include <QTextStream>

#include <cmath>
#include <numbers>

namespace {

const QString kSans = QStringLiteral("Liberation Sans");

QFont font(int pixelSize, bool bold = false, const QString &family = kSans)
{
    QFont f(family);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setHintingPreference(QFont::PreferFullHinting);
    return f;
}

// ---- icon -------------------------------------------------------------------------------

// A jog-wheel ring with frame ticks around a play triangle, on a dark rounded tile.
QImage drawLogo(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);

    const QRectF tile(8, 8, 240, 240);
    QLinearGradient tileFill(tile.topLeft(), tile.bottomLeft());
    tileFill.setColorAt(0, QColor(0x34, 0x38, 0x3d));
    tileFill.setColorAt(1, QColor(0x15, 0x17, 0x1a));
    p.setPen(QPen(QColor(0x4a, 0x4f, 0x55), 2));
    p.setBrush(tileFill);
    p.drawRoundedRect(tile, 52, 52);

    const QPointF c(128, 128);
    for (int i = 0; i < 24; ++i) {
        const double a = i * 2 * std::numbers::pi / 24;
        const bool major = i % 6 == 0;
        const double r0 = major ? 90 : 94;
        const double r1 = 104;
        p.setPen(QPen(major ? QColor(0xe8, 0xe8, 0xe8) : QColor(0x8a, 0x8f, 0x95), major ? 6 : 3, Qt::SolidLine,
                      Qt::RoundCap));
        p.drawLine(c + QPointF(std::sin(a) * r0, -std::cos(a) * r0), c + QPointF(std::sin(a) * r1, -std::cos(a) * r1));
    }

    p.setPen(QPen(QColor(0xe8, 0xe8, 0xe8), 9));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c, 76, 76);

    QPainterPath play;
    play.moveTo(106, 88);
    play.lineTo(106, 168);
    play.lineTo(174, 128);
    play.closeSubpath();
    p.setPen(QPen(QColor(0x4C, 0xAF, 0x50), 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(0x4C, 0xAF, 0x50));
    p.drawPath(play);

    // The playhead mark on the wheel.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xF4, 0x43, 0x36));
    p.drawEllipse(QPointF(128, 24 + 2), 7, 7);
    return image;
}

// ICO with one PNG-compressed entry per size (readable by Windows Vista and later and by
// Qt's ico plugin).
bool writeIco(const QString &path, const QList<QImage> &images)
{
    QList<QByteArray> pngs;
    for (const QImage &image : images) {
        QByteArray data;
        QBuffer buffer(&data);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG"))
            return false;
        pngs.append(data);
    }

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * quint32(images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        const int w = images[i].width();
        const int h = images[i].height();
        out << quint8(w >= 256 ? 0 : w) << quint8(h >= 256 ? 0 : h) << quint8(0) << quint8(0) << quint16(1)
            << quint16(32) << quint32(pngs[i].size()) << offset;
        offset += quint32(pngs[i].size());
    }
    for (const QByteArray &png : pngs)
        out.writeRawData(png.constData(), int(png.size()));
    return out.status() == QDataStream::Ok && file.flush();
}

// ---- help page --------------------------------------------------------------------------

const QColor kHelpBackgroundTop(0x20, 0x21, 0x23);
const QColor kHelpBackgroundBottom(0x17, 0x18, 0x1a);
const QColor kLabel(0xcf, 0xcf, 0xcf);       // light grey labels
const QColor kKeyCap(0xa6, 0xa5, 0x86);      // grey-olive key caps ...
const QColor kKeyCapEdge(0x7c, 0x7b, 0x62);
const QColor kKeyText(0x00, 0x00, 0x00);     // ... with bold black key names
const QColor kJoiner(0x8c, 0x8c, 0x8c);
const QColor kRule(0x3c, 0x3f, 0x41);

struct HelpRow
{
    QString label;
    QString keys; // "[Cap]" tokens are key caps, anything else is joining text
};

// Draws one key cap, vertically centred on centreY from x on, and returns its width.
qreal drawKeyCap(QPainter &p, qreal x, qreal centreY, const QString &text)
{
    // Arrow glyphs are small in the text face; draw them larger so they read as keys.
    const bool arrow = text.size() == 1 && text[0].unicode() >= 0x2190 && text[0].unicode() <= 0x2193;
    const QFont capFont = font(arrow ? 22 : 16, true);
    const QFontMetricsF fm(capFont);
    const qreal h = 28;
    const qreal w = std::max<qreal>(h, fm.horizontalAdvance(text) + 18);
    const QRectF cap(x, centreY - h / 2, w, h);
    p.setPen(QPen(kKeyCapEdge, 1.2));
    p.setBrush(kKeyCap);
    p.drawRoundedRect(cap.adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
    p.setPen(kKeyText);
    p.setFont(capFont);
    p.drawText(cap, Qt::AlignCenter, text);
    return w;
}

void drawKeys(QPainter &p, qreal x, qreal centreY, const QString &keys)
{
    static const QRegularExpression token(QStringLiteral(R"(\[(\]|[^\]]+)\]|(\S+))"));
    const QFont joinFont = font(17);
    const QFontMetricsF fm(joinFont);
    auto it = token.globalMatch(keys);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        if (m.capturedLength(1) > 0) {
            x += drawKeyCap(p, x, centreY, m.captured(1)) + 6;
        } else {
            const QString word = m.captured(2);
            const bool punctuation = word == QLatin1String(",");
            if (punctuation)
                x -= 4;
            p.setFont(joinFont);
            p.setPen(kJoiner);
            const qreal w = fm.horizontalAdvance(word);
            p.drawText(QPointF(x, centreY + fm.ascent() / 2 - 2), word);
            x += w + (punctuation ? 8 : 7);
        }
    }
}

QImage drawHelp()
{
    const QList<HelpRow> left = {
        {"Play forward", "[Space] , [L]"},
        {"Play reverse", "[J]"},
        {"Stop", "[Space] , [K]"},
        {"Go to Start", "[Home] , [↑]"},
        {"Go to End", "[End] , [↓]"},
        {"1 frame forward", "[→]"},
        {"1 frame reverse", "[←]"},
        {"1 sec forward", "[Shift] + [→]"},
        {"1 sec reverse", "[Shift] + [←]"},
        {"Shuttle", "[L] / [J] repeatedly"},
        {"TC Go to mode", "[Return] or [Enter]"},
        {"Rotate 90 deg.", "[Ctrl] + [L]"},
        {"Enable safety area", "[E]"},
        {"Next / previous QC event", "[]] / [[]"},
        {"QC event list", "[Q]"},
        {"Compare with file B", "[Ctrl] + [Shift] + [O]"},
        {"Close file B", "[Ctrl] + [Shift] + [W]"},
    };
    const QList<HelpRow> right = {
        {"Gang audio, Mute", "[1] [2] [3] [4] [5] [6] [7] [8] [M]"},
        {"Return default audio ch", "[0]"},
        {"Display Lissajous", "[W]"},
        {"Scope data range", "[D]"},
        {"Export image", "[P]"},
        {"Scope / Viewer", "[Tab]"},
        {"Scope kind", "[V]"},
        {"Video channel", "[R] [G] [B] [A] [Y] [C]"},
        {"Select audio device", "[Double-click] meter"},
        {"Full screen", "[F]"},
        {"1 frame fwd/rev", "[Mouse wheel] scrolling"},
        {"Copy to clipboard", "[Double-click] timecode"},
        {"Loudness measurement", "[Ctrl] + [Shift] + [Alt] + [U]"},
        {"Setup safety area", "[Ctrl] + [E]"},
        {"Export QC report", "[Ctrl] + [Shift] + [E]"},
        {"A / B / wipe / side / diff.", "[X]"},
        {"Difference gain", "[Shift] + [X]"},
        {"EXR exposure -/+, reset", "[-] [=] [Backspace]"},
    };

    QImage image(1280, 720, QImage::Format_ARGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient bg(0, 0, 0, 720);
    bg.setColorAt(0, kHelpBackgroundTop);
    bg.setColorAt(1, kHelpBackgroundBottom);
    p.fillRect(image.rect(), bg);

    // Title with the small icon.
    p.drawImage(QRectF(56, 30, 44, 44), drawLogo(88));
    p.setPen(QColor(0xe8, 0xe8, 0xe8));
    p.setFont(font(28, true));
    p.drawText(QPointF(114, 62), QStringLiteral("Orvel"));
    p.setPen(QColor(0x9a, 0x9a, 0x9a));
    p.setFont(font(19));
    p.drawText(QPointF(206, 62), QStringLiteral("Keyboard and mouse"));
    p.setPen(QPen(kRule, 1));
    p.drawLine(QPointF(56, 92), QPointF(1224, 92));

    const qreal top = 108;
    // The rows share the space down to the footer rule.
    const qreal pitch = std::min<qreal>(35, (640 - top) / qreal(std::max(left.size(), right.size())));
    const qreal columnX[2] = {56, 660};
    const qreal columnW = 564;
    const qreal keyOffset = 238;
    const QList<HelpRow> *columns[2] = {&left, &right};
    for (int c = 0; c < 2; ++c) {
        for (qsizetype r = 0; r < columns[c]->size(); ++r) {
            const HelpRow &row = columns[c]->at(r);
            const qreal y = top + r * pitch;
            if (r % 2 == 0)
                p.fillRect(QRectF(columnX[c] - 10, y, columnW + 10, pitch), QColor(255, 255, 255, 9));
            const qreal centreY = y + pitch / 2;
            p.setFont(font(19));
            p.setPen(kLabel);
            const QFontMetricsF fm(p.font());
            p.drawText(QPointF(columnX[c] + 4, centreY + fm.ascent() / 2 - 2), row.label);
            drawKeys(p, columnX[c] + keyOffset, centreY, row.keys);
        }
    }
    p.setPen(QPen(kRule, 1));
    const qsizetype rows = std::max(left.size(), right.size());
    p.drawLine(QPointF(640, top + 4), QPointF(640, top + rows * pitch - 4));
    p.drawLine(QPointF(56, 646), QPointF(1224, 646));

    // Footer, bottom right: Escape returns.
    const QString footer = QStringLiteral("Return to the viewer");
    const QFont footerFont = font(18);
    const QFontMetricsF ffm(footerFont);
    const qreal textW = ffm.horizontalAdvance(footer);
    const qreal capW = QFontMetricsF(font(16, true)).horizontalAdvance(QStringLiteral("Esc")) + 18;
    const qreal footerX = 1224 - textW - capW - 12;
    drawKeyCap(p, footerX, 683, QStringLiteral("Esc"));
    p.setFont(footerFont);
    p.setPen(kLabel);
    p.drawText(QPointF(footerX + capW + 12, 683 + ffm.ascent() / 2 - 2), footer);
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.setFont(font(15));
    p.drawText(QPointF(56, 683 + QFontMetricsF(font(15)).ascent() / 2 - 2),
               QStringLiteral("Ctrl+/ shows and hides this page"));
    return image;
}

// ---- audio-only picture -----------------------------------------------------------------

// Dark picture with a faint stereo graticule in the centre square (a white trace is drawn
// over it: left channel upwards, right channel to the right) and a mirrored waveform
// motif in the side bands, away from the trace.
QImage drawAudioOnly()
{
    const int w = 1280;
    const int h = 720;
    QImage image(w, h, QImage::Format_ARGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient bg(QPointF(w / 2.0, h / 2.0), w * 0.62);
    bg.setColorAt(0, QColor(0x1b, 0x1e, 0x22));
    bg.setColorAt(1, QColor(0x0c, 0x0d, 0x0f));
    p.fillRect(image.rect(), bg);

    const QPointF c(w / 2.0, h / 2.0);
    const qreal radius = 0.47 * std::min(w, h);

    // Graticule: kept within a few levels of the background so the trace dominates.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x2c, 0x31, 0x37), 1.5));
    p.drawEllipse(c, radius, radius);
    p.setPen(QPen(QColor(0x25, 0x29, 0x2e), 1, Qt::DotLine));
    p.drawEllipse(c, radius / 2, radius / 2);
    p.setPen(QPen(QColor(0x25, 0x29, 0x2e), 1));
    p.drawLine(QPointF(c.x() - radius, c.y()), QPointF(c.x() + radius, c.y()));
    p.drawLine(QPointF(c.x(), c.y() - radius), QPointF(c.x(), c.y() + radius));
    const qreal d = radius / std::numbers::sqrt2;
    p.setPen(QPen(QColor(0x22, 0x26, 0x2a), 1, Qt::DashLine));
    p.drawLine(QPointF(c.x() - d, c.y() + d), QPointF(c.x() + d, c.y() - d));
    p.drawLine(QPointF(c.x() - d, c.y() - d), QPointF(c.x() + d, c.y() + d));
    p.setFont(font(13, true));
    p.setPen(QColor(0x4b, 0x52, 0x5a));
    p.drawText(QPointF(c.x() + 8, c.y() - radius + 16), QStringLiteral("L"));
    p.drawText(QPointF(c.x() + radius - 16, c.y() - 8), QStringLiteral("R"));

    // Side bands: a mirrored waveform of rounded bars, brightest at the outer edge.
    const qreal band = (w - 2 * radius) / 2 - 60; // leave a margin before the circle
    const int bars = 22;
    const qreal pitch = band / bars;
    for (int side = 0; side < 2; ++side) {
        for (int i = 0; i < bars; ++i) {
            const qreal t = (i + 0.5) / bars; // 0 at the outer edge, 1 next to the centre
            const qreal envelope = 0.25 + 0.75 * std::pow(std::sin(std::numbers::pi * (0.08 + 0.84 * t)), 1.6);
            const qreal wobble = 0.55 + 0.45 * std::abs(std::sin(i * 1.7 + side * 0.9) * std::cos(i * 0.63));
            const qreal amp = 230 * envelope * wobble * (1.0 - 0.55 * t);
            const qreal x = side == 0 ? 36 + i * pitch : w - 36 - (i + 1) * pitch;
            const QRectF bar(x + pitch * 0.22, c.y() - amp, pitch * 0.56, 2 * amp);
            QLinearGradient fill(bar.topLeft(), bar.bottomLeft());
            const int alpha = int(150 - 95 * t);
            fill.setColorAt(0.0, QColor(0x4C, 0xAF, 0x50, alpha / 3));
            fill.setColorAt(0.5, QColor(0x4C, 0xAF, 0x50, alpha));
            fill.setColorAt(1.0, QColor(0x4C, 0xAF, 0x50, alpha / 3));
            p.setPen(Qt::NoPen);
            p.setBrush(fill);
            p.drawRoundedRect(bar, pitch * 0.28, pitch * 0.28);
        }
    }

    QFont caption = font(14, true);
    caption.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    p.setFont(caption);
    p.setPen(QColor(0x62, 0x68, 0x70));
    p.drawText(QPointF(40, h - 28), QStringLiteral("AUDIO ONLY"));
    return image;
}

bool save(const QImage &image, const QString &path)
{
    if (!image.save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return false;
    }
    QTextStream(stdout) << "wrote " << path << " (" << image.width() << "x" << image.height() << ")\n";
    return true;
}

bool writeThemeIcons(const QDir &root, const QString &name, const QStringList &sizes)
{
    bool ok = true;
    for (const QString &sizeText : sizes) {
        const int size = sizeText.toInt();
        if (size < 8 || size > 1024) {
            QTextStream(stderr) << "bad icon size " << sizeText << '\n';
            return false;
        }
        const QString folder = QStringLiteral("hicolor/%1x%1/apps").arg(size);
        if (!root.mkpath(folder)) {
            QTextStream(stderr) << "cannot create " << root.filePath(folder) << '\n';
            return false;
        }
        ok = save(drawLogo(size), root.filePath(folder + QLatin1Char('/') + name + QStringLiteral(".png"))) && ok;
    }
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    // The icon has no text, so this mode needs no fonts.
    if (args.size() >= 5 && args[1] == QLatin1String("--icon-theme"))
        return writeThemeIcons(QDir(args[2]), args[3], args.mid(4)) ? 0 : 1;
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: orvel-artwork OUTDIR\n"
                               "       orvel-artwork --icon-theme DIR NAME SIZE...\n";
        return 2;
    }
    if (!QFontDatabase::families().contains(kSans)) {
        QTextStream(stderr) << "font \"" << kSans << "\" is not installed (fonts-liberation)\n";
        return 1;
    }
    const QDir out(args[1]);
    if (!out.exists() && !QDir().mkpath(out.path())) {
        QTextStream(stderr) << "cannot create " << out.path() << '\n';
        return 1;
    }

    bool ok = save(drawLogo(256), out.filePath("Orvel.png"));
    QList<QImage> iconSizes;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        iconSizes.append(drawLogo(size).convertToFormat(QImage::Format_ARGB32));
    if (writeIco(out.filePath("Orvel.ico"), iconSizes))
        QTextStream(stdout) << "wrote " << out.filePath("Orvel.ico") << " (" << iconSizes.size() << " sizes)\n";
    else
        ok = false;
    ok = save(drawHelp(), out.filePath("Help_Win.png")) && ok;
    ok = save(drawAudioOnly(), out.filePath("AudioOnly.png")) && ok;
    return ok ? 0 : 1;
}
