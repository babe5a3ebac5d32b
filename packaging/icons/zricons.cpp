// Build-time tool: renders the program icon into the hicolor theme sizes, never larger than its source.
//
//   zricons SOURCE.png OUTDIR SIZE...   writes OUTDIR/<SIZE>x<SIZE>/apps/<name of SOURCE>.png
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: zricons SOURCE.png OUTDIR SIZE...\n");
        return 1;
    }
    const QString source = QString::fromLocal8Bit(argv[1]);
    QImage image(source);
    if (image.isNull()) {
        fprintf(stderr, "zricons: %s: not a readable image\n", argv[1]);
        return 1;
    }
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int i = 3; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        // A bitmap scaled up only gets blurred; sizes above the source are left to the theme's own scaling.
        if (size <= 0 || size > image.width() || size > image.height()) {
            fprintf(stderr, "zricons: size %s is not between 1 and the source's %dx%d\n", argv[i], image.width(),
                    image.height());
            return 1;
        }
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[2])).arg(size);
        const QString file = dir + QLatin1Char('/') + QFileInfo(source).fileName();
        const QImage scaled = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        if (!QDir().mkpath(dir) || !scaled.save(file, "PNG")) {
            fprintf(stderr, "zricons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
