#include "console/ErrorText.h"

#include <map>

namespace ostrel::console {
namespace {

// The meaning of each error number the runtime and the serial port raise.
const std::map<int32_t, const char*>& meanings() {
    static const std::map<int32_t, const char*> m = {
        {6, "溢出"},
        {9, "下标越界"},
        {13, "类型不匹配"},
        {380, "属性值无效"},
        {429, "无法创建对象"},
        {438, "对象不支持该属性或方法"},
        {449, "参数不可省略"},
        {450, "参数个数错误"},
        {8002, "端口号无效或端口无法打开"},
        {8005, "端口已被其他程序占用"},
        {8015, "无法设置串口参数"},
        {8018, "端口未打开"},
        {8020, "串口设备已断开或读取失败"},
        {8021, "写入串口失败"},
    };
    return m;
}

// Serial-port errors concern the port whatever the handler passed.
bool isPortError(int32_t number) { return number >= 8000 && number < 9000; }

}  // namespace

QString errorText(const rt::AutomationError& e, const QString& field) {
    auto it = meanings().find(e.number());
    QString text = QString("运行时错误 '%1'：\n\n").arg(e.number());
    text += it != meanings().end() ? QString(it->second) : QString::fromStdString(e.description());
    const QString concerned = isPortError(e.number()) ? QString("串口") : field;
    if (!concerned.isEmpty()) text += "\n\n请检查：" + concerned;
    // Details that name something the user can act on stay as the driver gave them.
    if (it != meanings().end() && (isPortError(e.number()) || e.number() == 380 || e.number() == 429 ||
                                   e.number() == 438))
        text += "\n\n详细信息：" + QString::fromStdString(e.description());
    return text;
}

QString addressRefusal(const QString& typed) {
    return QString("地址“%1”无效：地址必须是 0 到 255 之间的数字。\n\n未发送任何命令。").arg(typed);
}

}  // namespace ostrel::console
