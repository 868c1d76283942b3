#pragma once
// A content package's "manifest.json": its units with their activities, steps, hints, building
// instructions, videos and code snippets. Read from the package folder, one flag per unit adjusted
// from what is downloaded, and written out again for the page; keys the tables below do not name
// are dropped on the way, and so is every null. Plain values.

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "KestromKit/model/URLString.h"
#include "KestromKit/model/Coding.h"

namespace kestrom {

struct Manifest {
  struct ContentVideo {
    /// The encodings a video may be downloaded in; any of them may be missing.
    struct Urls {
      std::optional<URLString> original_download;
      std::optional<URLString> quad16_download;
      std::optional<URLString> quad50_download;
      std::optional<URLString> quad75_download;
      std::optional<URLString> quad100_download;
      std::optional<URLString> small_download;
      std::optional<URLString> medium_download;
      std::optional<URLString> portrait_download;
      std::optional<URLString> standard_download;
      std::optional<URLString> video_medium_download;
      std::optional<URLString> video_hd_download;
      std::optional<URLString> video_1080p_download;
      std::optional<URLString> video_mobile_high_download;
      std::optional<URLString> audio_download;
      std::optional<URLString> video_webm_360p_download;
      std::optional<URLString> video_webm_720p_download;
      std::optional<URLString> video_frames_download;

      friend bool operator==(const Urls&, const Urls&) = default;
      static constexpr auto codingFields() {
        using S = Urls;
        return std::tuple{field("original_download", &S::original_download),
                          field("quad16_download", &S::quad16_download),
                          field("quad50_download", &S::quad50_download),
                          field("quad75_download", &S::quad75_download),
                          field("quad100_download", &S::quad100_download),
                          field("small_download", &S::small_download),
                          field("medium_download", &S::medium_download),
                          field("portrait_download", &S::portrait_download),
                          field("standard_download", &S::standard_download),
                          field("video_medium_download", &S::video_medium_download),
                          field("video_hd_download", &S::video_hd_download),
                          field("video_1080p_download", &S::video_1080p_download),
                          field("video_mobile_high_download", &S::video_mobile_high_download),
                          field("audio_download", &S::audio_download),
                          field("video_webm_360p_download", &S::video_webm_360p_download),
                          field("video_webm_720p_download", &S::video_webm_720p_download),
                          field("video_frames_download", &S::video_frames_download)};
      }
    };

    std::string id;
    std::string token;
    std::string baseUrl;
    std::optional<std::map<std::string, URLString>> subtitles;  // language -> subtitle file
    Urls urls;

    friend bool operator==(const ContentVideo&, const ContentVideo&) = default;
    static constexpr auto codingFields() {
      using S = ContentVideo;
      return std::tuple{field("id", &S::id), field("token", &S::token), field("baseUrl", &S::baseUrl),
                        field("subtitles", &S::subtitles), field("urls", &S::urls)};
    }
  };

  struct CodeSnippet {
    std::optional<bool> alwaysAdd;
    std::optional<bool> show;
    std::optional<bool> add;
    std::optional<bool> clear;
    std::string snippet;
    std::optional<std::map<std::string, std::string>> comments;

    friend bool operator==(const CodeSnippet&, const CodeSnippet&) = default;
    static constexpr auto codingFields() {
      using S = CodeSnippet;
      return std::tuple{field("alwaysAdd", &S::alwaysAdd), field("show", &S::show), field("add", &S::add),
                        field("clear", &S::clear),         field("snippet", &S::snippet),
                        field("comments", &S::comments)};
    }
  };

  struct BuildingInstruction {
    /// One entry of a building instruction.
    struct Video {
      std::optional<std::string> title;
      std::optional<std::string> image;
      std::optional<int> steps;
      std::optional<ContentVideo> videos;  // one video, despite the plural key

      friend bool operator==(const Video&, const Video&) = default;
      static constexpr auto codingFields() {
        using S = Video;
        return std::tuple{field("title", &S::title), field("image", &S::image), field("steps", &S::steps),
                          field("videos", &S::videos)};
      }
    };

    std::optional<std::string> id;
    std::string title;
    std::optional<std::string> image;
    std::vector<Video> buildingInstructions;
    std::optional<bool> availableOffline;
    std::optional<bool> isActivityBuildingInstruction;

    friend bool operator==(const BuildingInstruction&, const BuildingInstruction&) = default;
    static constexpr auto codingFields() {
      using S = BuildingInstruction;
      return std::tuple{field("id", &S::id),
                        field("title", &S::title),
                        field("image", &S::image),
                        field("buildingInstructions", &S::buildingInstructions),
                        field("availableOffline", &S::availableOffline),
                        field("isActivityBuildingInstruction", &S::isActivityBuildingInstruction)};
    }
  };

  struct Activity {
    struct Hint {
      std::optional<std::string> image;
      std::optional<std::string> text;
      std::optional<CodeSnippet> code;

      friend bool operator==(const Hint&, const Hint&) = default;
      static constexpr auto codingFields() {
        using S = Hint;
        return std::tuple{field("image", &S::image), field("text", &S::text), field("CodeStack", &S::code)};
      }
    };

    struct Step {
      std::string id;
      std::string title;
      std::optional<std::string> subtitle;
      std::string description;
      std::optional<BuildingInstruction> buildinginstruction;
      std::optional<std::string> image;
      std::optional<ContentVideo> video;
      std::optional<std::vector<Hint>> hints;
      std::optional<CodeSnippet> code;

      friend bool operator==(const Step&, const Step&) = default;
      static constexpr auto codingFields() {
        using S = Step;
        return std::tuple{field("id", &S::id),
                          field("title", &S::title),
                          field("subtitle", &S::subtitle),
                          field("description", &S::description),
                          field("buildinginstruction", &S::buildinginstruction),
                          field("image", &S::image),
                          field("video", &S::video),
                          field("hints", &S::hints),
                          field("code", &S::code)};
      }
    };

    std::string id;
    std::string title;
    std::string subtitle;
    std::string description;
    std::string duration;
    std::optional<std::string> image;
    std::string level;
    std::optional<std::vector<Step>> steps;
    std::optional<std::vector<std::string>> toolbox;
    std::optional<bool> unavailable;
    std::optional<ContentVideo> video;
    std::optional<std::vector<std::string>> required;
    std::optional<std::string> grade;
    std::optional<std::string> lessonplanLink;
    std::optional<bool> isGettingStarted;

    friend bool operator==(const Activity&, const Activity&) = default;
    static constexpr auto codingFields() {
      using S = Activity;
      return std::tuple{field("id", &S::id),
                        field("title", &S::title),
                        field("subtitle", &S::subtitle),
                        field("description", &S::description),
                        field("duration", &S::duration),
                        field("image", &S::image),
                        field("level", &S::level),
                        field("steps", &S::steps),
                        field("toolbox", &S::toolbox),
                        field("unavailable", &S::unavailable),
                        field("video", &S::video),
                        field("required", &S::required),
                        field("grade", &S::grade),
                        field("lessonplanLink", &S::lessonplanLink),
                        field("isGettingStarted", &S::isGettingStarted)};
    }
  };

  struct ContentUnit {
    std::string id;
    std::string title;
    std::optional<std::string> subtitle;
    std::optional<std::string> target;
    std::optional<std::string> targetGroup;
    std::string description;
    /// Recomputed from the downloaded activities whenever a manifest is read.
    std::optional<bool> unavailableOffline;
    std::optional<std::string> image;
    std::optional<ContentVideo> video;
    std::optional<std::string> background;
    std::optional<std::vector<Activity>> activities;
    std::optional<bool> hideInList;
    std::optional<std::string> teacherSupportText;
    std::optional<std::string> teacherSupportUrl;

    /// A copy with `unavailableOffline` set (present) to `value`, every other field unchanged.
    ContentUnit withUnavailableOffline(bool value) const {
      ContentUnit copy = *this;
      copy.unavailableOffline = value;
      return copy;
    }

    friend bool operator==(const ContentUnit&, const ContentUnit&) = default;
    static constexpr auto codingFields() {
      using S = ContentUnit;
      return std::tuple{field("id", &S::id),
                        field("title", &S::title),
                        field("subtitle", &S::subtitle),
                        field("target", &S::target),
                        field("targetGroup", &S::targetGroup),
                        field("description", &S::description),
                        field("unavailableOffline", &S::unavailableOffline),
                        field("image", &S::image),
                        field("video", &S::video),
                        field("background", &S::background),
                        field("activities", &S::activities),
                        field("hideInList", &S::hideInList),
                        field("teacherSupportText", &S::teacherSupportText),
                        field("teacherSupportUrl", &S::teacherSupportUrl)};
    }
  };

  std::string id;
  std::vector<ContentUnit> units;

  friend bool operator==(const Manifest&, const Manifest&) = default;
  static constexpr auto codingFields() {
    using S = Manifest;
    return std::tuple{field("id", &S::id), field("units", &S::units)};
  }
};

}  // namespace kestrom
