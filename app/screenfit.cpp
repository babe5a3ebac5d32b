// Keeping a window inside the screen's available area when it grows.
#include "app/screenfit.h"

#include <QtGlobal>

QRect fitFrameIntoScreen(const QRect &frame, const QRect &available)
{
    if (available.isEmpty())
        return frame;
    QRect fitted = frame;
    fitted.moveLeft(qMax(available.left(), qMin(frame.left(), available.right() - frame.width() + 1)));
    fitted.moveTop(qMax(available.top(), qMin(frame.top(), available.bottom() - frame.height() + 1)));
    return fitted;
}
