"""The sample prompt catalogue offered by the notebook form."""
from quillon.velto_gpt_sdk import promptbook
from _notebook import nb  # noqa: F401  (fixture)

CATALOGUE = [
    ("Read a csv", "Write a code to read csv from {physical_location} using pandas."),
    ("Display Top 5 records", "Display top 5 records in the data frame."),
    ("Drop Columns", "Given a data frame [df], drop columns: [list_of_columns]."),
    ("Replace values", "Replace the [value1] with [value2] from a [column1] in data frame [df]."),
    ("Fill Null values in data frame",
     "Fill the null values in the dataframe with {mean/median/mode}."),
    ("Replace top N values",
     "Given a data frame [df] containing column [column1], replace the top [n] values in "
     "[column1] with [value_to_replace_with]."),
    ("Encode Categorical columns", "Encode the categorical variables using {one-hot/label}."),
    ("Convert Column data type", "Convert the {column} data type to {int/float/string}."),
    ("Convert Date time format",
     "Given a data frame [df], convert the datetime column [column_name] into [date_format]."),
    ("Plot column data",
     "Given a data frame [df], create a specific type of visualization "
     "[line plot/scatter plot/bar plot] using the columns [column1, column2]."),
    ("Up sample data frame",
     "{up sample/down sample} the data frame where target column in {target_column}."),
    ("Standardize column", "{standardize/normalize} the column {column_name}."),
    ("Generate Accuracy report",
     "Calculate the {f1_score/precision/recall} for the actual data {target_column_variable} "
     "with predicted data {predicted_data_variable}."),
    ("Plot Confusion matrix",
     "Plot the confusion matrix between {actual_data} and {predicted_data}."),
    ("Train a model with parameter tuning",
     "Use {sklearn model} to generate predictions for a data_frame[df] that has target "
     "column[target] by splitting it into test and train data and then performing "
     "hyperparameter tuning using GridSearchCV to output the best model."),
    ("Generate Gini Report", "Generate a Gini report for a [ml_algorithm] model."),
    ("Remove outliers",
     "Remove outliers from the column {column_name} with z_score greater than 3."),
    ("Exporting Images and Graphs to PPT", "Export an [plot/graph] to a PPT file {ppt_file_name}."),
    ("Apply PCA", "Apply PCA on the data frame {pd.DataFrame object}."),
    ("Perform Z/T test",
     "Perform {z-test/t-test} on the column {column_name} of the dataframe "
     "{pd.DataFrame object}."),
    ("Perform Chi2 test",
     "Perform chi2 test to verify which columns in data_frame[df] can be used for model "
     "training."),
    ("Feature Importance Plot", "Plot the feature importance for the {sklearn model}."),
    ("Pre process text data",
     "I have a data frame of text data [data_frame_variable]. Please help me clean and "
     "preprocess the data for further analysis."),
    ("Pivot table and aggregate",
     "Read the Excel/CSV file located at [location], and provide code to create a pivot "
     "table with the desired index[column_name], columns[column_name], values[column_name] "
     "and aggregate function [sum/min/max/count] "),
    ("Calculate date difference",
     "Given a data frame [df] containing two columns [column1] and [column2] representing "
     "date  values, calculate the difference between the dates in terms of "
     "[days/months/years]."),
    ("Analyze seasonal trends",
     "Given a data frame [df] consisting of time-series data and multiple columns, analyze "
     "trends,or seasonality in the specified columns [Column1(date),column2]."),
    ("Perform a referential integrity check",
     "Given an Excel file with multiple sheets, perform a referential integrity check "
     "between two specific sheets."),
]


def test_entries_in_order_and_shared_with_the_assistant(nb):
    book = promptbook.prompts_list
    assert type(book) is dict
    assert list(book.items()) == CATALOGUE  # exact texts, spacing quirks included
    assert all(type(k) is str and type(v) is str for k, v in book.items())
    assert nb.prompt_sample_list is book
