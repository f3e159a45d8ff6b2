#include "res/images.h"

#include "res/constants.h"

#include <QString>

namespace res {

QIcon LoadMainIcon() {
    QIcon icon;
    for (int side : kIconSizes)
        icon.addFile(QStringLiteral(":/res/icons/vellipost-%1.png").arg(side));
    return icon;
}

QIcon LoadBanner() {
    QIcon banner;
    for (const char* file : {"banner.png", "banner@1.5x.png", "banner@2x.png"})
        banner.addFile(QStringLiteral(":/res/") + QLatin1String(file));
    return banner;
}

} // namespace res
