#include "messages.h"

#include "common/text_format.h"

#include <stdarg.h>

namespace {

using enum MessageId;
constexpr MessageIcon kErr = MessageIcon::Error;
constexpr MessageIcon kNone = MessageIcon::None;
constexpr MessageIcon kAsk = MessageIcon::Question;
constexpr MessageButtons kOk = MessageButtons::Ok;
constexpr MessageButtons kYesNo = MessageButtons::YesNo;

// In MessageId order; GetMessageSpec checks the order once.
constexpr MessageSpec kMessages[] = {
    {None, u"", kNone, kOk, nullptr},
    {KeyDerivationFailed, u"计算加密密钥失败!", kErr, kOk, nullptr},
    {NoFreeLetter, u"没有空闲盘符可供加载!", kErr, kOk, nullptr},
    {TargetLetterTaken, u"目标盘符已被占用!", kErr, kOk, nullptr},
    {OpenFailed, u"密码错误, 打开保险箱失败!", kErr, kOk, nullptr},
    {OpenPasswordEmpty, u"密码不能为空!", kNone, kOk, nullptr},
    {ForceDismountAsk,
     u"卸载保险箱失败!!(Volume=%C:), 是否强制卸载?\n强制卸载可能会导致尚未保存的数据丢失!", kNone,
     kYesNo, nullptr},
    {ForceDismountFailed, u"强制卸载保险箱失败!!(Volume=%C:)!!", kNone, kOk, nullptr},
    {DeleteAsk, u"确认要删除保险箱 [%ws] 吗?", kNone, kYesNo, nullptr},
    {DestroyAsk, u"确认要销毁保险箱 [%ws] 吗?\n注意: 保险箱中的所有数据都将被销毁!", kNone, kYesNo,
     nullptr},
    {DestroyAskAgain, u"请再次确认要销毁保险箱 [%ws]!", kNone, kYesNo, nullptr},
    {NameEmpty, u"名称不能为空!", kErr, kOk, nullptr},
    {NameExists, u"已存在同名保险箱, 请重新命名!", kErr, kOk, nullptr},
    {PathEmpty, u"请输入要导入的保险箱路径!", kErr, kOk, nullptr},
    {PathInvalid, u"无效保险箱路径, 请指定有效的保险箱路径!", kErr, kOk, nullptr},
    {CreateFolderAsk, u"指定文件路径所在目录不存在，是否创建该目录?", kAsk, kYesNo, nullptr},
    {ContainerExists, u"保险箱文件已经存在, 请重新选择!", kErr, kOk, nullptr},
    {SizeEmpty, u"保险箱大小不能为空!", kErr, kOk, nullptr},
    {NotEnoughSpace, u"保存位置所在磁盘剩余空间小于指定的保险箱大小!", kErr, kOk, nullptr},
    {CreateOnRemovable, u"保险箱不能创建在U盘等移动设备上!", kErr, kOk, nullptr},
    {FatTooLarge, u"保存位置所在磁盘为FAT格式, 不支持大于4G的保险箱! ", kErr, kOk, nullptr},
    {FatAsk,
     u"保存位置所在磁盘为FAT格式, 不支持保险箱大小动态增长特征, 确认要在FAT磁盘上创建保险箱? ",
     kAsk, kYesNo, u"继续创建"},
    {LetterInUse, u"盘符已经被占用, 请选择其他盘符!", kErr, kOk, nullptr},
    {PasswordEmpty, u"密码不能为空!", kErr, kOk, nullptr},
    {PasswordTooShort, u"密码长度不能小于4!", kErr, kOk, nullptr},
    {PasswordMismatch, u"两次输入的密码不一致!", kErr, kOk, nullptr},
    {TooManyVaults, u"最多只能创建4个保险箱!", kErr, kOk, nullptr},
    {CreateFailed, u"新建保险箱失败!", kErr, kOk, nullptr},
    {BackupAsk,
     u"是否备份保险箱密码？\n说明：密码以加密方式保存在一个文件中，当密码忘记时，将该文件发给厂家"
     u"，可以找回密码。\n重要：请妥善保管此密码文件，防止被人盗取。",
     kAsk, kYesNo, u"备份保险箱密码"},
    {BackupDone, u"密码成功备份到 %ws，请妥善保管!", kNone, kOk, nullptr},
    {BackupFailed, u"创建备份密码失败!", kErr, kOk, nullptr},
    {ImportFileMissing, u"指定的保险箱文件路径不存在, 请重新指定!", kErr, kOk, nullptr},
    {ImportOnRemovable, u"不能加载U盘等移动设备上的保险箱!", kErr, kOk, nullptr},
    {ImportDuplicatePath, u"指定的保险箱已经在列表中，请不要重复导入!", kErr, kOk, nullptr},
    {DefaultPathEmpty, u"保险箱默认存放路径不能为空!", kErr, kOk, nullptr},
    {DefaultPathNotLocal, u"路径所在的磁盘非本地硬盘,请重新选择一个路径!", kErr, kOk, nullptr},
    {DefaultPathCreateAsk, u"保险箱默认存放路径不存在，是否创建该目录?", kAsk, kYesNo, nullptr},
    {DefaultPathCreateFailed, u"保险箱默认存放路径创建失败!\n请重新选择一个目录。", kErr, kOk,
     nullptr},
};

constexpr bool table_in_order()
{
    if (std::size(kMessages) != size_t(Count_))
        return false;
    for (size_t i = 0; i < std::size(kMessages); ++i)
        if (kMessages[i].id != MessageId(i))
            return false;
    return true;
}
static_assert(table_in_order(), "kMessages must list every MessageId in order");

} // namespace

const MessageSpec& GetMessageSpec(MessageId id)
{
    size_t index = size_t(id);
    return index < std::size(kMessages) ? kMessages[index] : kMessages[0];
}

std::u16string MessageText(MessageId id, ...)
{
    va_list args;
    va_start(args, id);
    std::u16string text = FormatTextV(GetMessageSpec(id).text, args);
    va_end(args);
    return text;
}

const char16_t* LoadModeHint(int selectedIndex)
{
    return selectedIndex == 0 ? kLoadModeHint : u"";
}
