#include "result/result_codes.h"

namespace {

const WCHAR* const kMessages[] = {
    WTXT("エラーはありません。"),
    WTXT("パッチファイルの実行ファイルサイズの取得に失敗しました。"),
    WTXT("パッチファイルが開けません。"),
    WTXT("パッチファイルのデータサイズが小さすぎます。"),
    WTXT("パッチデータが誤っています。"),
    WTXT("パッチデータが破損しています。"),
    WTXT("パッチ対象ファイルリストの取得に失敗しました。"),
    WTXT("テンポラリファイルの名前が取得できません。"),
    WTXT("パッチ元ファイルが開けません。"),
    WTXT("パッチ対象ファイルが開けません。"),
    WTXT("パッチ元ファイルが差分元ファイルデータと異なっています。"),
    WTXT("パッチ後のファイルが差分後のファイルデータと異なっています。"),
    WTXT("作成されるべきファイルがすでに存在しています。"),
    WTXT("新ファイル作成に失敗しました。"),
    WTXT("ファイル更新に失敗しました。"),
    WTXT("Windows フォルダーの中ではパッチを適用できません。"
         "パッチを当てるプログラムのフォルダーで実行してください。"),
    WTXT("パスの途中にリンク（ジャンクションなど）があるか、"
         "ほかのユーザーが作成したファイルやフォルダーがあるため、"
         "ファイルを更新できません。"),
    WTXT("コマンドラインの指定が正しくありません。"),
};

const WCHAR kUnknown[] = WTXT("不明なエラーが発生しました。");

}  // namespace

const WCHAR* GetResultMessage(ResultCode code) {
  return code < sizeof kMessages / sizeof kMessages[0] ? kMessages[code]
                                                       : kUnknown;
}
