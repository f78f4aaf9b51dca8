"""Canned answers for the sample prompts the notebook form offers.

Each entry knows its template (the text the form copies into the query box),
a few keyword rules for requests the user rewrote freely, and a builder that
turns the placeholders the user filled in (and the notebook context) into a
short pandas / scikit-learn snippet.
"""

from __future__ import annotations

import ast
import keyword
import re
import string
import textwrap
from dataclasses import dataclass, field
from typing import Callable, Optional, Sequence

from .context import Context, role, suits

Params = Sequence[Optional[str]]

_PLACEHOLDER = re.compile(r"(\[[^\]]*\]|\{[^}]*\})")


@dataclass
class Entry:
    title: str
    template: str
    build: Callable[[Params, "Filler"], str]
    placeholders: list[str] = field(default_factory=list)
    pattern: re.Pattern = None

    def __post_init__(self) -> None:
        parts = _PLACEHOLDER.split(self.template.strip())
        regex = []
        for i, part in enumerate(parts):
            if i % 2:
                self.placeholders.append(part)
                # A placeholder that opens the template is a word or two
                # ("up sample", "normalize"), not whatever precedes the rest.
                regex.append(r"(\S+(?:[ \t]\S+)?)" if i == 1 and not parts[0].strip() else r"(.+?)")
            else:
                literal = part.rstrip(".") if i == len(parts) - 1 else part
                words = [re.escape(w) for w in re.split(r"\s+", literal)]
                regex.append(r"\s*".join(words) if literal.strip() else re.escape(literal))
        self.pattern = re.compile(r"\A\s*" + "".join(regex) + r"\.?\s*\Z", re.IGNORECASE | re.DOTALL)

    def match(self, request: str) -> Optional[list[Optional[str]]]:
        """The user's values for the placeholders, or None if the request is
        not this template. An untouched placeholder gives None."""
        m = self.pattern.search(request.strip())
        if not m:
            return None
        return [_filled(value, ph) for value, ph in zip(m.groups(), self.placeholders)]


def _filled(value: str, placeholder: str) -> Optional[str]:
    value = value.strip()
    if value == placeholder:
        return None
    if len(value) > 1 and value[0] + value[-1] in ("[]", "{}"):
        value = value[1:-1].strip()
    return value or None


def code(text: str, **slots: str) -> str:
    """Dedent a snippet and fill its $slots."""
    return string.Template(textwrap.dedent(text).strip("\n")).substitute(slots) + "\n"


# Estimators the modelling snippets know: keyword -> (import, constructor, grid).
MODELS = {
    "random forest": ("from sklearn.ensemble import RandomForestClassifier",
                      "RandomForestClassifier(random_state=42)",
                      '{"n_estimators": [100, 300], "max_depth": [None, 5, 10]}'),
    "logistic": ("from sklearn.linear_model import LogisticRegression",
                 "LogisticRegression(max_iter=1000)",
                 '{"C": [0.1, 1.0, 10.0]}'),
    "decision tree": ("from sklearn.tree import DecisionTreeClassifier",
                      "DecisionTreeClassifier(random_state=42)",
                      '{"max_depth": [3, 5, 10, None], "min_samples_leaf": [1, 5]}'),
    "gradient boosting": ("from sklearn.ensemble import GradientBoostingClassifier",
                          "GradientBoostingClassifier(random_state=42)",
                          '{"n_estimators": [100, 200], "learning_rate": [0.05, 0.1]}'),
    "svm": ("from sklearn.svm import SVC",
            "SVC(probability=True, random_state=42)",
            '{"C": [0.1, 1.0, 10.0], "kernel": ["linear", "rbf"]}'),
    "knn": ("from sklearn.neighbors import KNeighborsClassifier",
            "KNeighborsClassifier()",
            '{"n_neighbors": [3, 5, 11]}'),
}
_MODEL_ALIASES = {
    "randomforest": "random forest", "rf": "random forest", "forest": "random forest",
    "logisticregression": "logistic", "decisiontree": "decision tree", "tree": "decision tree",
    "gbm": "gradient boosting", "gradientboosting": "gradient boosting", "xgboost": "gradient boosting",
    "svc": "svm", "support vector": "svm", "neighbors": "knn", "neighbours": "knn",
    "kneighbors": "knn",
}


class Filler:
    """Turns placeholder values into Python source fragments, falling back on
    what the notebook context says about the user's data frames."""

    def __init__(self, request: str, context: Context, free: bool = False):
        self.request = request
        self.context = context
        self.free = free
        self._frame: Optional[str] = None

    # -- names and literals -------------------------------------------------

    def frame(self, value: Optional[str] = None) -> str:
        """The data frame variable: the user's value if it is a name, else the
        first data frame of the context, else `df`."""
        if self._frame is None or value:
            name = _identifier(value)
            if name is None:
                frames = [v.name for v in self.context.frames()]
                named = [n for n in frames if self.free and re.search(r"\b%s\b" % re.escape(n), self.request)]
                name = (named or frames or ["df"])[0]
            self._frame = name
        return self._frame

    def ident(self, value: Optional[str], default: str) -> str:
        return _identifier(value) or default

    def column(self, value: Optional[str], prefer: str = "any", default: str = "column1",
               exclude: Sequence[str] = ()) -> str:
        """A column label as a string literal, matched against the context's
        columns when possible."""
        columns = self.context.columns(self._frame)
        excluded = [eval_label(e) for e in exclude]
        if not value and self.free:
            # A free-form request may name the columns it means.
            mentioned = sorted((m.start(), c) for c, _ in columns if c not in excluded
                               for m in [re.search(r"\b%s\b" % re.escape(c), self.request, re.I)] if m)
            if mentioned:
                return repr(mentioned[0][1])
        if value:
            label = value.strip().strip("'\"`")
            for known, _ in columns:
                if known.lower() == label.lower():
                    return repr(known)
            return repr(label)
        return repr(self.context.pick_column(self._frame, prefer, excluded) or default)

    def columns(self, value: Optional[str], count: int = 0) -> list[str]:
        if value:
            parts = [p for p in re.split(r"\s*,\s*|\s+and\s+", value.strip("[]() ")) if p.strip()]
            if parts:
                return [self.column(p) for p in parts]
        known = [repr(c) for c, _ in self.context.columns(self._frame)]
        if not known:
            known = [repr(f"column{i}") for i in range(1, max(count, 1) + 1)]
        return known[: max(count, 1)]

    def named(self, value: Optional[str]) -> list[str]:
        """The column labels the user gave: those listed in a filled-in
        placeholder, else the frame's columns a free-form request mentions.
        "units by region" (or per, vs, against) lists region first: the
        second name is the one the first is measured against."""
        if value:
            return [eval_label(c) for c in self.columns(value)]
        if not self.free:
            return []
        known = [c for c, _ in self.context.columns(self._frame)]
        found = sorted((m.start(), c) for c in known
                       for m in [re.search(r"\b%s\b" % re.escape(c), self.request, re.I)] if m)
        labels = [c for _, c in found]
        pattern = r"\b(%s)\b\s+(?:by|per|for each|across|over|vs\.?|versus|against)\s+(?:the\s+)?\b(%s)\b"
        alternatives = "|".join(re.escape(c) for c in known)
        if alternatives:
            by = re.search(pattern % (alternatives, alternatives), self.request, re.I)
            if by:
                first, second = (next(c for c in known if c.lower() == g.lower()) for g in by.groups())
                labels = [second, first] + [c for c in labels if c not in (first, second)]
        return labels

    def by_role(self, labels: Sequence[str], prefer: str, exclude: Sequence[str] = ()) -> Optional[str]:
        """The first of `labels` that suits the role (labels the context
        does not know suit any), else the frame's first column that does."""
        dtypes = dict(self.context.columns(self._frame))
        for label in labels:
            if label not in exclude and (label not in dtypes or suits(label, dtypes[label], prefer)):
                return label
        return self.context.pick_column(self._frame, prefer, exclude, strict=True)

    def pair(self, value: Optional[str], first: str = "category", second: str = "numeric") \
            -> tuple[Optional[str], Optional[str]]:
        """Two column labels in their roles: a key (a category or a date, the
        x axis) and a measure (a number, the y axis); None where the frame has
        no column for the role."""
        labels = self.named(value)
        x = self.by_role(labels, first)
        y = self.by_role(labels, second, exclude=[x] if x else [])
        return x, y

    def aggregate(self, value: Optional[str] = None) -> tuple[str, str]:
        """The aggregation a request asks for, as (method, title word)."""
        return self.choice(value, {r"\b(average|mean|avg)\b": ("mean", "Average"),
                                   r"\bmedian\b": ("median", "Median"),
                                   r"\b(max|maximum|highest|largest)\b": ("max", "Highest"),
                                   r"\b(min|minimum|lowest|smallest)\b": ("min", "Lowest"),
                                   r"\b(count|number of|how many)\b": ("count", "Count of")},
                           ("sum", "Total"))

    def literal(self, value: Optional[str], default: str) -> str:
        if value is None:
            return default
        text = value.strip().strip("'\"")
        try:
            number = float(text)
        except ValueError:
            return repr(text)
        return text if number == number and number not in (float("inf"), float("-inf")) else repr(text)

    def integer(self, value: Optional[str], default: int) -> str:
        if value and re.fullmatch(r"\s*\d{1,9}\s*", value):
            return str(int(value))
        return str(default)

    def path(self, value: Optional[str], default: str, exts: str = "csv|xlsx|xls|txt|json|parquet") -> str:
        if value:
            return repr(value.strip().strip("'\"`"))
        return repr(self.file_named(exts) or default)

    def file_named(self, exts: str = "csv|xlsx|xls|txt|json|parquet") -> Optional[str]:
        """A file name with one of these extensions in the request."""
        found = re.search(r"[\w./\\:~-]+\.(?:%s)\b" % exts, self.request, re.IGNORECASE)
        return found.group(0) if found else None

    def choice(self, value: Optional[str], options: dict, default):
        """The option whose keyword (a regular expression) appears in the
        user's value, or in the whole request when the request was matched by
        keywords rather than by its template."""
        text = value if value else (self.request if self.free else None)
        for keyword, result in options.items():
            if text and re.search(keyword, text, re.IGNORECASE):
                return result
        return default

    def model(self, value: Optional[str]) -> tuple[str, str, str]:
        text = (value or (self.request if self.free else "")).lower()
        squeezed = text.replace(" ", "").replace("_", "")
        for key in MODELS:
            if key in text or key.replace(" ", "") in squeezed:
                return MODELS[key]
        for alias, key in _MODEL_ALIASES.items():
            if re.search(r"\b%s\b" % re.escape(alias), text) or (len(alias) > 4 and alias in squeezed):
                return MODELS[key]
        return MODELS["random forest"]

    def target(self, value: Optional[str] = None) -> str:
        return self.column(value, prefer="target", default="target")


def eval_label(literal: str) -> str:
    """The label a string literal made by `column` stands for."""
    try:
        value = ast.literal_eval(literal)
    except (ValueError, SyntaxError):
        return literal
    return value if isinstance(value, str) else literal


def _identifier(value: Optional[str]) -> Optional[str]:
    if not value:
        return None
    value = value.strip().strip("'\"`")
    parts = value.split(".")
    if all(p.isidentifier() and not keyword.iskeyword(p) for p in parts):
        return value
    return None


# ---------------------------------------------------------------------------
# The 27 entries, in the order the form lists them.

ENTRIES: list[Entry] = []


def entry(title: str, template: str):
    def register(build):
        ENTRIES.append(Entry(title, template, build))
        return build
    return register


@entry("Read a csv", "Write a code to read csv from {physical_location} using pandas.")
def _read_csv(p: Params, f: Filler) -> str:
    return code("""
        import pandas as pd

        df = pd.read_csv($path)
        print(df.shape)
        df.head()
    """, path=f.path(p[0] if p else None, "data.csv", "csv|txt|tsv|gz|zip"))


@entry("Display Top 5 records", "Display top 5 records in the data frame.")
def _head(p: Params, f: Filler) -> str:
    n = re.search(r"\b(?:top|first)\s+(\d{1,6})\b", f.request, re.IGNORECASE)
    return code("""
        $df.head($n)
    """, df=f.frame(), n=n.group(1) if n else "5")


@entry("Drop Columns", "Given a data frame [df], drop columns: [list_of_columns].")
def _drop(p: Params, f: Filler) -> str:
    df = f.frame(p[0] if p else None)
    cols = f.columns(p[1] if p else None, count=1)
    return code("""
        $df = $df.drop(columns=[$cols])
        $df.head()
    """, df=df, cols=", ".join(cols))


@entry("Replace values", "Replace the [value1] with [value2] from a [column1] in data frame [df].")
def _replace(p: Params, f: Filler) -> str:
    p = p or [None] * 4
    df = f.frame(p[3])
    return code("""
        $df[$col] = $df[$col].replace($old, $new)
        $df[$col].value_counts().head()
    """, df=df, col=f.column(p[2]), old=f.literal(p[0], "'old value'"),
        new=f.literal(p[1], "'new value'"))


@entry("Fill Null values in data frame", "Fill the null values in the dataframe with {mean/median/mode}.")
def _fillna(p: Params, f: Filler) -> str:
    stat = f.choice(p[0] if p else None, {"median": "median", "mode": "mode", "mean": "mean"}, "mean")
    if stat == "mode":
        return code("""
            $df = $df.fillna($df.mode().iloc[0])
            $df.isna().sum()
        """, df=f.frame())
    return code("""
        numeric = $df.select_dtypes("number").columns
        $df[numeric] = $df[numeric].fillna($df[numeric].$stat())
        $df.isna().sum()
    """, df=f.frame(), stat=stat)


@entry("Replace top N values",
       "Given a data frame [df] containing column [column1], replace the top [n] values in [column1]"
       " with [value_to_replace_with].")
def _replace_top(p: Params, f: Filler) -> str:
    p = p or [None] * 5
    df = f.frame(p[0])
    return code("""
        top_index = $df[$col].nlargest($n).index
        $df.loc[top_index, $col] = $value
        $df.loc[top_index]
    """, df=df, col=f.column(p[1] or p[3], "numeric"), n=f.integer(p[2], 5),
        value=f.literal(p[4], "0"))


@entry("Encode Categorical columns", "Encode the categorical variables using {one-hot/label}.")
def _encode(p: Params, f: Filler) -> str:
    kind = f.choice(p[0] if p else None, {"label|ordinal": "label", "one|hot|dumm": "onehot"}, "onehot")
    df = f.frame()
    known = f.context.columns(df)
    cats = [repr(c) for c, t in known if t in ("object", "category", "string", "bool")]
    select = ("[" + ", ".join(cats) + "]") if cats else \
        f'list({df}.select_dtypes(include=["object", "category"]).columns)'
    if kind == "label":
        return code("""
            from sklearn.preprocessing import LabelEncoder

            for column in $select:
                $df[column] = LabelEncoder().fit_transform($df[column].astype(str))
            $df.head()
        """, df=df, select=select)
    return code("""
        import pandas as pd

        $df = pd.get_dummies($df, columns=$select)
        $df.head()
    """, df=df, select=select)


@entry("Convert Column data type", "Convert the {column} data type to {int/float/string}.")
def _astype(p: Params, f: Filler) -> str:
    p = p or [None, None]
    df = f.frame()
    col = f.column(p[0])
    kind = f.choice(p[1], {r"\bint": "int", "float|double|decimal": "float",
                           "str|text|object": "string", "date|time": "datetime",
                           "cat": "category"}, "string")
    if kind == "int":
        body = f'pd.to_numeric({df}[{col}], errors="coerce").astype("Int64")'
    elif kind == "float":
        body = f'pd.to_numeric({df}[{col}], errors="coerce")'
    elif kind == "datetime":
        body = f'pd.to_datetime({df}[{col}], errors="coerce")'
    else:
        body = f'{df}[{col}].astype("{kind}")'
    return code("""
        import pandas as pd

        $df[$col] = $body
        $df[$col].dtype
    """, df=df, col=col, body=body)


def _strftime(value: Optional[str]) -> str:
    if not value:
        return "%Y-%m-%d"
    text = value.strip().strip("'\"")
    if "%" in text:
        return text
    for token, directive in (("yyyy", "%Y"), ("yy", "%y"), ("mm", "%m"), ("dd", "%d"),
                             ("hh", "%H"), ("ss", "%S")):
        text = re.sub(token, directive, text, flags=re.IGNORECASE)
    return text if "%" in text else "%Y-%m-%d"


@entry("Convert Date time format",
       "Given a data frame [df], convert the datetime column [column_name] into [date_format].")
def _datetime(p: Params, f: Filler) -> str:
    p = p or [None] * 3
    df = f.frame(p[0])
    return code("""
        import pandas as pd

        $df[$col] = pd.to_datetime($df[$col], errors="coerce").dt.strftime($fmt)
        $df[$col].head()
    """, df=df, col=f.column(p[1], "datetime"), fmt=repr(_strftime(p[2])))


@entry("Plot column data",
       "Given a data frame [df], create a specific type of visualization [line plot/scatter plot/bar plot]"
       " using the columns [column1, column2].")
def _plot(p: Params, f: Filler) -> str:
    p = p or [None] * 3
    df = f.frame(p[0])
    kind = f.choice(p[1], {"scatter": "scatter", "bar": "bar", "hist": "hist", "box": "box",
                           "line": "line"}, None)
    dtypes = dict(f.context.columns(df))
    if kind in ("hist", "box"):
        col = f.by_role(f.named(p[2]), "numeric") or "column1"
        return _chart(f"{df}[{col!r}]", kind, f"Distribution of {col}")
    if kind == "scatter":
        x, y = f.pair(p[2], "numeric", "numeric")
        x, y = x or "column1", y or "column2"
        return _chart(df, kind, f"{y} against {x}", f", x={x!r}, y={y!r}")
    x, y = f.pair(p[2])
    y = y or "column2"
    if x is None or (kind == "line" and x not in f.named(p[2]) and role(dtypes.get(x, "")) != "datetime"):
        # Nothing for the x axis but the row labels, or a line of the values in row order.
        return _chart(f"{df}[{y!r}]", kind or "line", y)
    if x in dtypes and role(dtypes[x]) != "datetime":
        # One bar (or point) per category, not one per row.
        method, word = f.aggregate()
        return _chart(f"{df}.groupby({x!r})[{y!r}].{method}()", kind or "bar", f"{word} {y} by {x}",
                      ylabel=y)
    return _chart(f"{df}.sort_values({x!r})", kind or "line", f"{y} by {x}", f", x={x!r}, y={y!r}")


def _chart(data: str, kind: str, title: str, args: str = "", ylabel: Optional[str] = None) -> str:
    label = f"ax.set_ylabel({ylabel!r})\n" if ylabel else ""
    return code("""
        import matplotlib.pyplot as plt

        ax = $data.plot(kind="$kind"$args, figsize=(8, 5), title=$title)
        ${label}plt.tight_layout()
        plt.show()
    """, data=data, kind=kind, args=args, title=repr(title), label=label)


@entry("Up sample data frame",
       "{up sample/down sample} the data frame where target column in {target_column}.")
def _resample(p: Params, f: Filler) -> str:
    p = p or [None, None]
    down = f.choice(p[0], {"down|under": "down", "up|over": "up"}, "up") == "down"
    return code("""
        import pandas as pd

        target = $target
        size = $df[target].value_counts().$agg()
        balanced = pd.concat([group.sample(n=size, replace=$replace, random_state=42)
                              for _, group in $df.groupby(target)])
        balanced = balanced.sample(frac=1, random_state=42).reset_index(drop=True)
        balanced[target].value_counts()
    """, df=f.frame(), target=f.target(p[1]), agg="min" if down else "max",
        replace="False" if down else "True")


@entry("Standardize column", "{standardize/normalize} the column {column_name}.")
def _scale(p: Params, f: Filler) -> str:
    p = p or [None, None]
    norm = f.choice(p[0], {"normali": "minmax", "min.?max": "minmax", "standard": "standard"},
                    "standard") == "minmax"
    df = f.frame()
    return code("""
        from sklearn.preprocessing import $scaler

        $df[[$col]] = $scaler().fit_transform($df[[$col]])
        $df[$col].describe()
    """, df=df, col=f.column(p[1], "numeric"), scaler="MinMaxScaler" if norm else "StandardScaler")


@entry("Generate Accuracy report",
       "Calculate the {f1_score/precision/recall} for the actual data {target_column_variable} with"
       " predicted data {predicted_data_variable}.")
def _metric(p: Params, f: Filler) -> str:
    p = p or [None] * 3
    metric = f.choice(p[0], {"precision": "precision_score", "recall": "recall_score",
                             r"f1|f-score|fscore": "f1_score", "accura": "accuracy_score"}, "f1_score")
    extra = "" if metric == "accuracy_score" else ', average="weighted"'
    return code("""
        from sklearn.metrics import classification_report, $metric

        score = $metric($actual, $predicted$extra)
        print(f"$metric: {score:.3f}")
        print(classification_report($actual, $predicted))
    """, metric=metric, extra=extra, actual=f.ident(p[1], "y_test"),
        predicted=f.ident(p[2], "y_pred"))


@entry("Plot Confusion matrix", "Plot the confusion matrix between {actual_data} and {predicted_data}.")
def _confusion(p: Params, f: Filler) -> str:
    p = p or [None, None]
    return code("""
        import matplotlib.pyplot as plt
        from sklearn.metrics import ConfusionMatrixDisplay

        ConfusionMatrixDisplay.from_predictions($actual, $predicted, cmap="Blues")
        plt.title("Confusion matrix")
        plt.show()
    """, actual=f.ident(p[0], "y_test"), predicted=f.ident(p[1], "y_pred"))


@entry("Train a model with parameter tuning",
       "Use {sklearn model} to generate predictions for a data_frame[df] that has target column[target]"
       " by splitting it into test and train data and then performing hyperparameter tuning using"
       " GridSearchCV to output the best model.")
def _grid_search(p: Params, f: Filler) -> str:
    p = p or [None] * 3
    imp, estimator, grid = f.model(p[0])
    df = f.frame(p[1])
    return code("""
        $imp
        from sklearn.model_selection import GridSearchCV, train_test_split

        X = $df.drop(columns=[$target])
        y = $df[$target]
        X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.2, random_state=42)

        search = GridSearchCV($estimator, $grid, cv=5, n_jobs=-1)
        search.fit(X_train, y_train)
        best_model = search.best_estimator_
        y_pred = best_model.predict(X_test)
        print("Best parameters:", search.best_params_)
        print("Test accuracy:", best_model.score(X_test, y_test))
    """, imp=imp, estimator=estimator, grid=grid, df=df, target=f.target(p[2]))


@entry("Generate Gini Report", "Generate a Gini report for a [ml_algorithm] model.")
def _gini(p: Params, f: Filler) -> str:
    imp, estimator, _ = f.model(p[0] if p else None)
    return code("""
        $imp
        from sklearn.metrics import roc_auc_score
        from sklearn.model_selection import train_test_split

        X = $df.drop(columns=[$target])
        y = $df[$target]
        X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.2, random_state=42)
        model = $estimator.fit(X_train, y_train)

        for name, features, labels in (("train", X_train, y_train), ("test", X_test, y_test)):
            auc = roc_auc_score(labels, model.predict_proba(features)[:, 1])
            print(f"{name}: AUC = {auc:.3f}, Gini = {2 * auc - 1:.3f}")
    """, imp=imp, estimator=estimator, df=f.frame(), target=f.target())


@entry("Remove outliers", "Remove outliers from the column {column_name} with z_score greater than 3.")
def _outliers(p: Params, f: Filler) -> str:
    df = f.frame()
    col = f.column(p[0] if p else None, "numeric")
    return code("""
        z_scores = ($df[$col] - $df[$col].mean()) / $df[$col].std()
        $df = $df[z_scores.abs() <= 3]
        print(f"{len($df)} rows left")
    """, df=df, col=col)


@entry("Exporting Images and Graphs to PPT", "Export an [plot/graph] to a PPT file {ppt_file_name}.")
def _ppt(p: Params, f: Filler) -> str:
    p = p or [None, None]
    target = f.path(p[1], "report.pptx", "pptx|ppt")
    if not eval_label(target).lower().endswith((".pptx", ".ppt")):
        target = repr(eval_label(target) + ".pptx")
    return code("""
        import matplotlib.pyplot as plt
        from pptx import Presentation
        from pptx.util import Inches

        plt.gcf().savefig("figure.png", dpi=150, bbox_inches="tight")
        presentation = Presentation()
        slide = presentation.slides.add_slide(presentation.slide_layouts[6])
        slide.shapes.add_picture("figure.png", Inches(0.5), Inches(0.5), width=Inches(9))
        presentation.save($target)
    """, target=target)


@entry("Apply PCA", "Apply PCA on the data frame {pd.DataFrame object}.")
def _pca(p: Params, f: Filler) -> str:
    return code("""
        from sklearn.decomposition import PCA
        from sklearn.preprocessing import StandardScaler

        numeric = $df.select_dtypes("number").dropna()
        pca = PCA(n_components=min(2, numeric.shape[1]))
        components = pca.fit_transform(StandardScaler().fit_transform(numeric))
        print("Explained variance ratio:", pca.explained_variance_ratio_)
    """, df=f.frame(p[0] if p else None))


@entry("Perform Z/T test",
       "Perform {z-test/t-test} on the column {column_name} of the dataframe {pd.DataFrame object}.")
def _test(p: Params, f: Filler) -> str:
    p = p or [None] * 3
    df = f.frame(p[2])
    col = f.column(p[1], "numeric")
    if f.choice(p[0], {r"\bt\b|t-?test|student": "t", r"\bz\b|z-?test": "z"}, "t") == "z":
        return code("""
            import math

            sample = $df[$col].dropna()
            z = sample.mean() / (sample.std(ddof=1) / math.sqrt(len(sample)))
            p_value = math.erfc(abs(z) / math.sqrt(2))
            print(f"z = {z:.3f}, p = {p_value:.4f}")
        """, df=df, col=col)
    return code("""
        from scipy import stats

        sample = $df[$col].dropna()
        result = stats.ttest_1samp(sample, popmean=0)
        print(f"t = {result.statistic:.3f}, p = {result.pvalue:.4f}")
    """, df=df, col=col)


@entry("Perform Chi2 test",
       "Perform chi2 test to verify which columns in data_frame[df] can be used for model training.")
def _chi2(p: Params, f: Filler) -> str:
    df = f.frame(p[0] if p else None)
    return code("""
        import pandas as pd
        from sklearn.feature_selection import chi2

        target = $target
        features = $df.drop(columns=[target]).select_dtypes("number").fillna(0).clip(lower=0)
        scores, p_values = chi2(features, $df[target])
        report = pd.DataFrame({"chi2": scores, "p_value": p_values}, index=features.columns)
        print(report.sort_values("p_value"))
        print("Usable for training:", list(report.index[report["p_value"] < 0.05]))
    """, df=df, target=f.target())


@entry("Feature Importance Plot", "Plot the feature importance for the {sklearn model}.")
def _importance(p: Params, f: Filler) -> str:
    return code("""
        import matplotlib.pyplot as plt
        import pandas as pd

        importances = pd.Series($model.feature_importances_, index=$model.feature_names_in_)
        importances.sort_values().plot(kind="barh", title="Feature importance", figsize=(8, 5))
        plt.tight_layout()
        plt.show()
    """, model=f.ident(p[0] if p else None, "model"))


@entry("Pre process text data",
       "I have a data frame of text data [data_frame_variable]. Please help me clean and preprocess the"
       " data for further analysis.")
def _text(p: Params, f: Filler) -> str:
    df = f.frame(p[0] if p else None)
    return code(r"""
        import re

        def clean_text(text):
            text = str(text).lower()
            text = re.sub(r"https?://\S+|<[^>]+>", " ", text)
            text = re.sub(r"[^a-z0-9\s]", " ", text)
            return re.sub(r"\s+", " ", text).strip()

        column = $col
        $df[column] = $df[column].fillna("").map(clean_text)
        $df = $df[$df[column] != ""].drop_duplicates(subset=[column])
        $df.head()
    """, df=df, col=f.column(None, "text", "text"))


@entry("Pivot table and aggregate",
       "Read the Excel/CSV file located at [location], and provide code to create a pivot table with the"
       " desired index[column_name], columns[column_name], values[column_name] and aggregate function"
       " [sum/min/max/count] ")
def _pivot(p: Params, f: Filler) -> str:
    p = p or [None] * 5
    df = f.frame()
    named = f.named(None)        # the columns a free-form request mentions
    index = eval_label(f.column(p[1])) if p[1] else f.by_role(named, "category") or "index_column"
    columns = eval_label(f.column(p[2])) if p[2] else \
        f.context.pick_column(df, "category", [index], strict=True)
    values = eval_label(f.column(p[3])) if p[3] else f.by_role(named, "numeric", [index, columns])
    args = ", ".join(f"{k}={v!r}" for k, v in (("index", index), ("columns", columns), ("values", values)) if v)
    agg = f.choice(p[4], {r"\bmin": "min", r"\bmax": "max", "count": "count", "mean|average": "mean",
                          "sum": "sum"}, "sum")
    if p[0] or f.file_named() or not f.context.frames():
        return code("""
            import pandas as pd

            path = $path
            data = pd.read_excel(path) if path.lower().endswith((".xls", ".xlsx")) else pd.read_csv(path)
            pivot = pd.pivot_table(data, $args, aggfunc="$agg")
            pivot
        """, path=f.path(p[0], "data.csv"), args=args, agg=agg)
    return code("""
        import pandas as pd

        pivot = pd.pivot_table($df, $args, aggfunc="$agg")
        pivot
    """, df=df, args=args, agg=agg)


@entry("Calculate date difference",
       "Given a data frame [df] containing two columns [column1] and [column2] representing date  values,"
       " calculate the difference between the dates in terms of [days/months/years].")
def _datediff(p: Params, f: Filler) -> str:
    p = p or [None] * 4
    df = f.frame(p[0])
    unit = f.choice(p[3], {"month": "months", "year": "years", "day": "days"}, "days")
    first = f.column(p[1], "datetime", "start_date")
    second = f.column(p[2]) if p[2] else repr(
        f.context.pick_column(df, "datetime", [eval_label(first)], strict=True) or "end_date")
    formula = {
        "days": "(end - start).dt.days",
        "months": "(end.dt.year - start.dt.year) * 12 + (end.dt.month - start.dt.month)",
        "years": "((end - start).dt.days / 365.25).round(2)",
    }[unit]
    return code("""
        import pandas as pd

        start = pd.to_datetime($df[$first], errors="coerce")
        end = pd.to_datetime($df[$second], errors="coerce")
        $df["difference_$unit"] = $formula
        $df[[$first, $second, "difference_$unit"]].head()
    """, df=df, first=first, second=second, unit=unit, formula=formula)


@entry("Analyze seasonal trends",
       "Given a data frame [df] consisting of time-series data and multiple columns, analyze trends,or"
       " seasonality in the specified columns [Column1(date),column2].")
def _seasonal(p: Params, f: Filler) -> str:
    p = p or [None, None]
    df = f.frame(p[0])
    date, value = f.pair(re.sub(r"\(\s*date\s*\)", "", p[1]) if p[1] else None, "datetime", "numeric")
    date, value = repr(date or "date"), repr(value or "value")
    return code("""
        import matplotlib.pyplot as plt
        import pandas as pd

        series = $df.assign(**{$date: pd.to_datetime($df[$date])}).set_index($date)[$value].sort_index()
        trend = series.rolling(window=12, min_periods=1).mean()
        by_month = series.groupby(series.index.month).mean()

        fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 7))
        series.plot(ax=top, label="observed")
        trend.plot(ax=top, label="trend (12-period rolling mean)")
        top.legend()
        by_month.plot(kind="bar", ax=bottom, title="Average by month (seasonality)")
        plt.tight_layout()
        plt.show()
    """, df=df, date=date, value=value)


@entry("Perform a referential integrity check",
       "Given an Excel file with multiple sheets, perform a referential integrity check between two"
       " specific sheets.")
def _integrity(p: Params, f: Filler) -> str:
    return code("""
        import pandas as pd

        sheets = pd.read_excel($path, sheet_name=None)
        parent_name, child_name = list(sheets)[:2]
        parent, child = sheets[parent_name], sheets[child_name]
        key = next(column for column in child.columns if column in parent.columns)
        orphans = child[~child[key].isin(parent[key])]
        print(f"{len(orphans)} rows of {child_name!r} have a {key!r} missing from {parent_name!r}")
        orphans
    """, path=f.path(None, "workbook.xlsx", "xlsx|xls"))


# A request that no sample prompt covers, found by keywords only.
def _groupby(p: Params, f: Filler) -> str:
    df = f.frame()
    key, value = f.pair(None)
    method, _ = f.aggregate()
    if method == "count" or value is None:
        return code("""
            counts = $df[$key].value_counts()
            counts
        """, df=df, key=repr(key or "column1"))
    return code("""
        summary = $df.groupby($key)[$value].$method().sort_values(ascending=False)
        summary
    """, df=df, key=repr(key or "column1"), value=repr(value), method=method)


EXTRA = [Entry("Group and aggregate", "{total/average/count} of [column] per [column]", _groupby)]

# Keyword rules for requests that no longer read like their template; tried
# in this order, first hit wins, so the more specific rules come first.
KEYWORDS: list[tuple[str, str]] = [
    ("Generate Gini Report", r"\bgini\b"),
    ("Plot Confusion matrix", r"confusion"),
    ("Feature Importance Plot", r"feature.?importance"),
    ("Train a model with parameter tuning", r"grid.?search|hyper.?param|param\w* tun|\btun(e|ing)\b"),
    ("Perform Chi2 test", r"\bchi.?(2|sq)"),
    ("Perform Z/T test", r"\b[zt][- ]?test\b|\bttest|\bztest"),
    ("Apply PCA", r"\bpca\b|principal component"),
    ("Exporting Images and Graphs to PPT", r"\bpptx?\b|power.?point"),
    ("Pivot table and aggregate", r"\bpivot"),
    ("Perform a referential integrity check", r"referential|integrity|foreign key"),
    ("Analyze seasonal trends", r"season|\btrends?\b"),
    ("Calculate date difference", r"(date|day)s?\b.*differen|differen.*\b(dates?|days|months|years)\b"),
    ("Convert Date time format", r"date.?time|strftime|to_datetime|date format"),
    ("Remove outliers", r"outlier"),
    ("Up sample data frame", r"(up|down|over|under).?sampl|imbalanc|\bsmote\b|\bbalanc"),
    ("Standardize column", r"standardi[sz]|normali[sz]|\bscal(e|ing)\b"),
    ("Generate Accuracy report", r"accuracy|\bf1\b|precision|recall|classification report"),
    ("Encode Categorical columns", r"\bencod|one.?hot|dummies"),
    ("Fill Null values in data frame", r"fillna|imput|(null|nan|missing).*\bfill|\bfill.*(null|nan|missing)"),
    ("Replace top N values", r"replace.*\b(top|largest|highest)\b|\b(top|largest|highest)\b.*replace"),
    ("Replace values", r"\breplace"),
    ("Convert Column data type", r"data.?type|dtype|astype|convert.*\bto (int|float|str|string)\b"),
    ("Drop Columns", r"\bdrop"),
    ("Pre process text data", r"text.*(clean|pre.?process)|(clean|pre.?process).*text|stop.?words"),
    ("Plot column data", r"\bplot|chart|visuali[sz]|\bgraph|histogram"),
    ("Group and aggregate", r"\b(total|sum|average|mean|median|count|number of|max|min)\b.*"
                            r"\b(per|by|for each|of each)\b"),
    ("Display Top 5 records", r"\b(top|first|head)\b.*\b(rows|records)\b|\.head\(|\bhead\b"),
    ("Read a csv", r"\b(read|load|open|import)\b.*\bcsv\b|read_csv"),
]

BY_TITLE = {e.title: e for e in ENTRIES + EXTRA}


def find(request: str) -> tuple[Optional[Entry], Optional[list[Optional[str]]]]:
    """The entry a request asks for and the placeholder values it filled in:
    (entry, values) for a template match, (entry, None) for a keyword match,
    (None, None) when nothing fits."""
    text = request.strip()
    matches = []
    if len(text) <= 4000:  # the template patterns backtrack; long texts are never templates
        matches = [(e, values) for e in ENTRIES if (values := e.match(text)) is not None]
    if matches:
        # The longest template is the most specific one.
        return max(matches, key=lambda m: len(m[0].template))
    for e in ENTRIES:
        if text.lower().rstrip(".") == e.title.lower():
            return e, None
    for title, rule in KEYWORDS:
        if re.search(rule, text, re.IGNORECASE | re.DOTALL):
            return BY_TITLE[title], None
    return None, None


def answer(request: str, context: Context) -> Optional[tuple[str, str]]:
    """(title, code) for a catalogue request, or None."""
    found, values = find(request)
    if found is None:
        return None
    return found.title, found.build(values, Filler(request, context, free=values is None))
