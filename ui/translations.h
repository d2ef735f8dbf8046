#pragma once

class QCoreApplication;

namespace morvane {

// Qt's own Chinese words (qtbase_zh_CN): the standard dialogs and the text boxes' context
// menus. Looked for beside the program (translations/), then where Qt keeps them. False when
// none was found; the window then keeps Qt's English.
bool installQtChinese(QCoreApplication *app);

} // namespace morvane
