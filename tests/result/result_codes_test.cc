#include "result/result_codes.h"

#include <gtest/gtest.h>

namespace {

TEST(ResultCodes, ExactMessages) {
  const char16_t* expected[] = {
      u"エラーはありません。",
      u"パッチファイルの実行ファイルサイズの取得に失敗しました。",
      u"パッチファイルが開けません。",
      u"パッチファイルのデータサイズが小さすぎます。",
      u"パッチデータが誤っています。",
      u"パッチデータが破損しています。",
      u"パッチ対象ファイルリストの取得に失敗しました。",
      u"テンポラリファイルの名前が取得できません。",
      u"パッチ元ファイルが開けません。",
      u"パッチ対象ファイルが開けません。",
      u"パッチ元ファイルが差分元ファイルデータと異なっています。",
      u"パッチ後のファイルが差分後のファイルデータと異なっています。",
      u"作成されるべきファイルがすでに存在しています。",
      u"新ファイル作成に失敗しました。",
      u"ファイル更新に失敗しました。",
      u"Windows フォルダーの中ではパッチを適用できません。"
      u"パッチを当てるプログラムのフォルダーで実行してください。",
      u"パスの途中にリンク（ジャンクションなど）があるか、"
      u"ほかのユーザーが作成したファイルやフォルダーがあるため、"
      u"ファイルを更新できません。",
      u"コマンドラインの指定が正しくありません。",
      u"不明なエラーが発生しました。",  // every code above 17
  };
  for (ResultCode code = 0; code <= 18; ++code) {
    const WCHAR* message = GetResultMessage(code);
    std::u16string text(message,
                        message + std::char_traits<WCHAR>::length(message));
    EXPECT_EQ(std::u16string(expected[code]), text) << code;
  }
  EXPECT_EQ(GetResultMessage(18), GetResultMessage(0xFFFFFFFFu));
}

}  // namespace
