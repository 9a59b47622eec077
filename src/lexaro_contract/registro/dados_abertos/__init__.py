"""Os dados abertos do CNPJ publicados pela Receita, do zip ao banco do registro.

- `leiaute`: os arquivos, as colunas e os tipos de campo de um mês;
- `leitor`: a leitura de um mês (os zips oficiais ou os CSVs extraídos);
- `baixar`: o download de um mês;
- `gerador`: um mês inventado, para testes e medidas;
- `importador`: a importação de um mês num banco do registro, com
  `fila_ordenada` (os registros ordenados e juntados em blocos comprimidos,
  no núcleo nativo) e `destinos` (o banco novo, SQLite ou PostgreSQL,
  construído ao lado do atual).

O banco em si (o seu desenho, a conexão e as consultas) fica em `registro.banco`.
"""
